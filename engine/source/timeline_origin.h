// Where the ladder's timeline starts, set once by the source stage for every
// rendition. Both streams are measured from one origin, the earlier start of
// the two source streams, so sources whose timestamps start late (MPEG-TS
// recordings, broadcast captures) keep audio and video in sync.
#pragma once

#include <cstdint>

#include "ffmpeg/headers.h"

namespace corvane {

struct timeline_origin {
  std::int64_t video_origin = 0;         // the origin, in the video stream's time base
  std::int64_t audio_start_samples = 0;  // the audio stream's start after the origin, in samples
};

// The common origin of two streams from their start times (AV_NOPTS_VALUE when
// unknown, counted as 0) and time bases; `sample_rate` is the encoder's. A
// start whose offset does not fit in 64 bits counts as unknown.
timeline_origin common_origin(std::int64_t video_start, AVRational video_tb,
                              std::int64_t audio_start, AVRational audio_tb, int sample_rate);

// The origin of a source without sound: its video's start (unknown counts as 0).
timeline_origin video_only_origin(std::int64_t video_start);

}  // namespace corvane
