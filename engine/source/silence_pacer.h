// The sound of a source without any: silence as long as its video, made in step
// with its pictures so that the renditions' feeds carry both streams together.
#pragma once

#include <cstdint>
#include <stop_token>

#include "ffmpeg/encode.h"
#include "source/audio_chain.h"

namespace corvane {

class silence_pacer {
 public:
  // `audio` is a silent chain (open_silent_chain); it must outlive the pacer.
  explicit silence_pacer(audio_chain& audio) : audio_(audio) {}

  // The silence up to a picture at `pts`, in video_time_base, in whole
  // encoder frames, handed to `sink`. It is as long as the pictures' own span,
  // which the source clock bounds, and ends early once `stop` is requested.
  void before_picture(std::int64_t pts, const packet_sink& sink, const std::stop_token& stop);

  // The silence up to `video_end`, in video_time_base, the last frame shorter
  // when it must be; then drains the encoder into `sink`.
  void finish(std::int64_t video_end, const packet_sink& sink, const std::stop_token& stop);

 private:
  std::int64_t samples_at(std::int64_t pts) const;

  audio_chain& audio_;
};

}  // namespace corvane
