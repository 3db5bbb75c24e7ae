// The cap of 30 pictures a second: where each decoded picture goes on the
// renditions' clock, or whether it is dropped.
#pragma once

#include <cstdint>
#include <optional>

#include "ffmpeg/headers.h"
#include "product/settings.h"

namespace corvane {

// The cap of 30 pictures a second: a fixed grid of slots 1/30 s apart (in
// video_time_base, from the first picture), each holding one picture at most.
// A picture takes the slot nearest its own time; when that is taken, the next
// one, if that is within one slot of its own time and the source is not
// itself far faster than the grid (its pictures under two thirds of a slot
// apart on average); otherwise it is dropped. So a source at or below 30 pictures a
// second keeps every picture however its intervals jitter.
//
// Where a kept picture is stamped: at its own time while the source runs at
// 30 a second or slower (its mean interval at least 1/30 s less 0.5 %) and the
// picture comes a whole picture (min_picture_interval) after the last one, so
// that 24, 25 and 30 per second, millisecond-timed or not, keep their own even
// steps; otherwise at its slot's time, so that a faster source (60 a second,
// or a recorder's 30.3) is evenly 30 a second and its key frames, every 60
// pictures, stay 2 s apart. A source at the grid's pace (within 1 %) whose
// picture comes more than a millisecond before its slot's time is stamped at
// the slot's time too, so its key frames never fall a hair short of a
// segment's 6 s.
class picture_grid {
 public:
  // The stamp of a picture at `source_ts` (in `source_tb`), measured from
  // `origin`, or nothing when it is dropped. A picture without a timestamp
  // (AV_NOPTS_VALUE), or with one that does not fit in 64 bits once measured
  // from `origin` in `video_time_base`, takes the slot after the last one;
  // nothing when that does not fit either.
  std::optional<std::int64_t> stamp(std::int64_t source_ts, AVRational source_tb,
                                    std::int64_t origin);

  // The stamp of the last picture kept, or AV_NOPTS_VALUE before the first.
  std::int64_t last_stamp() const { return last_stamp_; }

 private:
  std::int64_t last_stamp_ = AV_NOPTS_VALUE;
  std::int64_t phase_ = 0;      // where slot 0 is: the first picture kept
  std::int64_t last_slot_ = 0;  // of the last picture kept
  // The source's pace: the mean interval between its pictures (settings.h).
  std::int64_t mean_interval_ = 0;
  std::int64_t intervals_ = 0;                 // counted into the mean, up to pace_window
  std::int64_t last_source_ = AV_NOPTS_VALUE;  // the last picture's own time, kept or not
};

// Pictures per second of `pictures` pictures stamped from `first_pts` to
// `last_pts` in `video_time_base`: the intervals between them over the time
// they span. 0 when there is no interval to measure (fewer than two pictures,
// or all at one time).
double picture_rate(std::int64_t pictures, std::int64_t first_pts, std::int64_t last_pts);

}  // namespace corvane
