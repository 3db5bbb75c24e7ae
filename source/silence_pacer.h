// The sound of a source without any: silence as long as its video, made in step
// with its pictures so that the renditions' feeds carry both streams together.
#pragma once

#include <cstdint>

#include "ffmpeg/encode.h"
#include "source/audio_chain.h"

namespace corvane {

class silence_pacer {
 public:
  // `audio` is a silent chain (open_silent_chain); it must outlive the pacer.
  explicit silence_pacer(audio_chain& audio) : audio_(audio) {}

  // The silence up to a picture at `pts`, in video_time_base, in whole
  // encoder frames, handed to `sink`.
  void before_picture(std::int64_t pts, const packet_sink& sink);

  // The silence up to `video_end`, in video_time_base, the last frame shorter
  // when it must be; then drains the encoder into `sink`.
  void finish(std::int64_t video_end, const packet_sink& sink);

 private:
  void make(std::int64_t pts, bool finish, const packet_sink& sink);

  audio_chain& audio_;
  std::int64_t allowance_ = 0;  // samples of silence the pictures allow
};

}  // namespace corvane
