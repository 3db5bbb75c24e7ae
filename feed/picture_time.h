// The clock of the pictures on a feed, shared by the source stage that stamps
// them and the renditions that encode them.
#pragma once

#include <cstdint>

#include "ffmpeg/headers.h"

namespace corvane {

// The time base of the pictures on a feed, MPEG-TS's own clock: fine enough to
// keep each picture at its source time, so pictures of a 25 or 24 per second
// source stay evenly spaced. Players that time a picture by its neighbours
// (Chromium's own HLS playback) stall on pictures forced onto a coarser grid.
inline constexpr AVRational video_time_base{1, 90000};

// 1/30 s in `video_time_base`: a feed carries at most 30 pictures a second.
inline constexpr std::int64_t picture_interval = 90000 / 30;

}  // namespace corvane
