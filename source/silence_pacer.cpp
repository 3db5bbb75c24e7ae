#include "source/silence_pacer.h"

#include "feed/picture_time.h"

namespace corvane {
namespace {

// The most silence one picture of a source without sound accounts for.
constexpr std::int64_t max_silence_per_picture = 10;  // seconds

}  // namespace

void silence_pacer::before_picture(std::int64_t pts, const packet_sink& sink) {
  make(pts, false, sink);
}

void silence_pacer::finish(std::int64_t video_end, const packet_sink& sink) {
  make(video_end, true, sink);
}

// Each picture accounts for at most max_silence_per_picture more: a source
// whose timestamps leap ahead (broken, or hostile) cannot keep the encoder busy
// for hours. Where its pictures are further apart than that, the silence skips
// ahead to stay in step with them, and at the end it stops short.
void silence_pacer::make(std::int64_t pts, bool finish, const packet_sink& sink) {
  const int rate = audio_.encoder->sample_rate;
  std::int64_t wanted = av_rescale_q(pts, video_time_base, AVRational{1, rate});
  if (!finish) allowance_ += max_silence_per_picture * rate;
  std::int64_t gap = 0;  // from the silence made so far to the picture
  if (__builtin_sub_overflow(wanted, audio_.audio_pts, &gap)) gap = wanted < 0 ? 0 : INT64_MAX;
  if (gap > allowance_) {
    if (finish)
      wanted = audio_.audio_pts + allowance_;
    else
      audio_.audio_pts = wanted - allowance_;
  } else if (gap <= 0) {
    wanted = audio_.audio_pts;
  }
  const std::int64_t before = audio_.audio_pts;
  if (finish)
    finish_silence(audio_, wanted, sink);
  else
    encode_silence(audio_, wanted, sink);
  allowance_ -= audio_.audio_pts - before;
}

}  // namespace corvane
