// Timestamps of a rendition. Both streams are measured from one origin, the
// earlier start of the two source streams, so sources whose timestamps start
// late (MPEG-TS recordings, broadcast captures) keep audio and video in sync.
#pragma once

#include <cstdint>
#include <optional>

#include "transcoder/ffmpeg.h"

namespace corvane {

// The rendition's video time base: pictures are stamped in 1/30 s.
inline constexpr AVRational video_time_base{1, 30};

struct timeline_origin {
  std::int64_t video_origin = 0;          // the origin, in the video stream's time base
  std::int64_t audio_start_samples = 0;   // the audio stream's start after the origin, in samples
};

// The common origin of two streams from their start times (AV_NOPTS_VALUE when
// unknown, counted as 0) and time bases; `sample_rate` is the encoder's.
timeline_origin common_origin(std::int64_t video_start, AVRational video_tb,
                              std::int64_t audio_start, AVRational audio_tb, int sample_rate);

// The timestamp a source picture gets in `video_time_base`, or nothing when it
// does not advance past `previous` (AV_NOPTS_VALUE before the first picture):
// a source faster than 30 pictures per second then loses the pictures that
// would repeat a timestamp. A picture without a timestamp (AV_NOPTS_VALUE)
// takes the one after `previous`.
std::optional<std::int64_t> picture_pts(std::int64_t source_ts, AVRational source_tb,
                                        std::int64_t origin, std::int64_t previous);

}  // namespace corvane
