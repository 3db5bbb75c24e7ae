// Timestamps of the ladder, set once by the source stage for every rendition.
// Both streams are measured from one origin, the earlier start of the two
// source streams, so sources whose timestamps start late (MPEG-TS recordings,
// broadcast captures) keep audio and video in sync.
#pragma once

#include <cstdint>
#include <optional>

#include "feed/picture_time.h"
#include "ffmpeg/headers.h"

namespace corvane {

// The shortest time kept between two pictures: a millisecond less than 1/30 s,
// since sources that count in milliseconds (Matroska, WebM) put every other
// picture of 60 per second 33 ms apart.
inline constexpr std::int64_t min_picture_interval = picture_interval - 90000 / 1000;

struct timeline_origin {
  std::int64_t video_origin = 0;          // the origin, in the video stream's time base
  std::int64_t audio_start_samples = 0;   // the audio stream's start after the origin, in samples
};

// The common origin of two streams from their start times (AV_NOPTS_VALUE when
// unknown, counted as 0) and time bases; `sample_rate` is the encoder's. A
// start whose offset does not fit in 64 bits counts as unknown.
timeline_origin common_origin(std::int64_t video_start, AVRational video_tb,
                              std::int64_t audio_start, AVRational audio_tb, int sample_rate);

// The origin of a source without sound: its video's start (unknown counts as 0).
timeline_origin video_only_origin(std::int64_t video_start);

// The timestamp a source picture gets in `video_time_base`, or nothing when it
// comes less than `min_picture_interval` after `previous`, the last picture
// kept (AV_NOPTS_VALUE before the first): a source faster than 30 pictures per
// second loses the pictures in between. A picture without a timestamp
// (AV_NOPTS_VALUE), or with one that does not fit in 64 bits once measured from
// `origin` in `video_time_base`, takes the one 1/30 s after `previous`; nothing
// when that does not fit either.
std::optional<std::int64_t> picture_pts(std::int64_t source_ts, AVRational source_tb,
                                        std::int64_t origin, std::int64_t previous);

// Pictures per second of `pictures` pictures stamped from `first_pts` to
// `last_pts` in `video_time_base`: the intervals between them over the time
// they span. 0 when there is no interval to measure (fewer than two pictures,
// or all at one time).
double picture_rate(std::int64_t pictures, std::int64_t first_pts, std::int64_t last_pts);

}  // namespace corvane
