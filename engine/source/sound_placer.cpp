#include "source/sound_placer.h"

#include <algorithm>

#include "ffmpeg/error.h"
#include "product/settings.h"

namespace corvane {
namespace {

// Silence is handed on in frames of at most this many samples.
constexpr int silence_frame_samples = 4096;

frame_ptr empty_frame_like(const AVFrame* format, int samples) {
  frame_ptr frame = alloc_frame();
  frame->format = format->format;
  frame->sample_rate = format->sample_rate;
  check(av_channel_layout_copy(&frame->ch_layout, &format->ch_layout),
        "audio: set frame channel layout");
  frame->nb_samples = samples;
  if (samples > 0) check(av_frame_get_buffer(frame.get(), 0), "audio: allocate frame");
  return frame;
}

}  // namespace

sound_placer::sound_placer(const AVFrame* format, AVRational time_base)
    : format_(empty_frame_like(format, 0)), time_base_(time_base) {}

bool sound_placer::same_format(const AVFrame* frame) const {
  return frame->format == format_->format && frame->sample_rate == format_->sample_rate &&
         av_channel_layout_compare(&frame->ch_layout, &format_->ch_layout) == 0;
}

void sound_placer::convert_into_frame(const AVFrame* input) {
  av_frame_unref(converted_.get());
  converted_->format = format_->format;
  converted_->sample_rate = format_->sample_rate;
  check(av_channel_layout_copy(&converted_->ch_layout, &format_->ch_layout),
        "audio: set frame channel layout");
  check(swr_convert_frame(converter_.get(), converted_.get(), input), "audio: convert sound");
}

AVFrame* sound_placer::convert(AVFrame* decoded, const frame_sink& take) {
  const bool changed =
      !input_format_ || decoded->format != input_format_->format ||
      decoded->sample_rate != input_format_->sample_rate ||
      av_channel_layout_compare(&decoded->ch_layout, &input_format_->ch_layout) != 0;
  if (changed) {
    drain(take);
    input_format_ = empty_frame_like(decoded, 0);
    // A layout that names no channels (only their count) is taken as the
    // usual one for that many.
    AVChannelLayout input_layout{};
    if (decoded->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
      av_channel_layout_default(&input_layout, decoded->ch_layout.nb_channels);
    else
      check(av_channel_layout_copy(&input_layout, &decoded->ch_layout),
            "audio: copy channel layout");
    SwrContext* raw = nullptr;
    const int made = swr_alloc_set_opts2(
        &raw, &format_->ch_layout, static_cast<AVSampleFormat>(format_->format),
        format_->sample_rate, &input_layout, static_cast<AVSampleFormat>(decoded->format),
        decoded->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&input_layout);
    converter_.reset(raw);
    check(made, "audio: set up converter for a change of sound format");
    check(swr_init(converter_.get()), "audio: set up converter for a change of sound format");
  }
  convert_into_frame(decoded);
  // Timed from the input, less what the converter holds back.
  if (decoded->pts != AV_NOPTS_VALUE)
    converted_->pts =
        decoded->pts - av_rescale_q(swr_get_delay(converter_.get(), decoded->sample_rate),
                                    AVRational{1, decoded->sample_rate}, time_base_);
  return converted_.get();
}

void sound_placer::place(AVFrame* decoded, const frame_sink& take, const std::stop_token& stop) {
  if (same_format(decoded)) {
    hand_on(decoded, take, stop);
    return;
  }
  AVFrame* converted = convert(decoded, take);
  if (converted->nb_samples > 0) hand_on(converted, take, stop);
}

void sound_placer::drain(const frame_sink& take) {
  if (!converter_) return;
  convert_into_frame(nullptr);
  converter_.reset();
  input_format_.reset();
  if (converted_->nb_samples > 0) {
    converted_->pts = AV_NOPTS_VALUE;  // it follows what came before
    placed_ += converted_->nb_samples;
    take(converted_.get());
  }
}

void sound_placer::hand_on(AVFrame* frame, const frame_sink& take, const std::stop_token& stop) {
  if (frame->pts != AV_NOPTS_VALUE) {
    if (!first_pts_) first_pts_ = frame->pts;
    const AVRational sample{1, format_->sample_rate};
    std::int64_t at = 0;
    if (!__builtin_sub_overflow(frame->pts, *first_pts_, &at))
      at = av_rescale_q(at, time_base_, sample);
    else
      at = placed_;
    const std::int64_t tolerance = format_->sample_rate / sound_tolerance_per_second;
    const std::int64_t off = at - placed_;
    // The source clock keeps holes to an hour; a frame further off (it had no
    // usable timestamp to judge by) is taken as where the sound goes on.
    const std::int64_t longest = max_gap_in(format_->sample_rate);
    if (off > longest || off < -longest) {
      placed_ = at;
    } else if (off > tolerance) {
      fill(off, frame->pts, take, stop);
    } else if (off < -tolerance) {
      // What came before already covers the frame's start.
      const std::int64_t overlap = -off;
      if (overlap >= frame->nb_samples) return;
      const int rest = frame->nb_samples - int(overlap);
      frame_ptr tail = empty_frame_like(format_.get(), rest);
      check(av_samples_copy(tail->extended_data, frame->extended_data, 0, int(overlap), rest,
                            format_->ch_layout.nb_channels,
                            static_cast<AVSampleFormat>(format_->format)),
            "audio: trim overlapping sound");
      tail->pts = frame->pts + av_rescale_q(overlap, sample, time_base_);
      take(tail.get());
      placed_ += rest;
      return;
    }
  }
  // Counted first: the filter takes the frame's data over and leaves it blank.
  placed_ += frame->nb_samples;
  take(frame);
}

void sound_placer::fill(std::int64_t samples, std::int64_t pts, const frame_sink& take,
                        const std::stop_token& stop) {
  const AVRational sample{1, format_->sample_rate};
  frame_ptr silence;
  while (samples > 0) {
    if (stop.stop_requested()) return;
    const int count = int(std::min<std::int64_t>(samples, silence_frame_samples));
    // The filter takes each frame's data over: every frame of silence is new.
    silence = empty_frame_like(format_.get(), count);
    check(av_samples_set_silence(silence->extended_data, 0, count, format_->ch_layout.nb_channels,
                                 static_cast<AVSampleFormat>(format_->format)),
          "audio: make silence for a hole in the sound");
    silence->pts = pts - av_rescale_q(samples, sample, time_base_);
    take(silence.get());
    placed_ += count;
    samples -= count;
  }
}

}  // namespace corvane
