#include "source/silence_pacer.h"

#include "product/settings.h"

namespace corvane {

std::int64_t silence_pacer::samples_at(std::int64_t pts) const {
  const std::int64_t samples =
      av_rescale_q(pts, video_time_base, AVRational{1, audio_.encoder->sample_rate});
  // A time beyond 64 bits in samples asks for no more than what is made.
  return samples == AV_NOPTS_VALUE ? audio_.audio_pts : samples;
}

void silence_pacer::before_picture(std::int64_t pts, const packet_sink& sink,
                                   const std::stop_token& stop) {
  const std::int64_t wanted = samples_at(pts);
  // The source clock keeps gaps to an hour; a picture whose time leaps
  // further (it had no usable timestamp to judge by) is not followed with
  // silence: the sound skips ahead with it.
  const std::int64_t longest = max_gap_in(audio_.encoder->sample_rate);
  std::int64_t gap = 0;
  if ((__builtin_sub_overflow(wanted, audio_.audio_pts, &gap) || gap > longest) &&
      wanted > audio_.audio_pts)
    audio_.audio_pts = wanted;
  encode_silence(audio_, wanted, sink, stop);
}

void silence_pacer::finish(std::int64_t video_end, const packet_sink& sink,
                           const std::stop_token& stop) {
  finish_silence(audio_, samples_at(video_end), sink, stop);
}

}  // namespace corvane
