#include "source/picture_grid.h"

#include <cstdlib>

#include "ffmpeg/timestamps.h"

namespace corvane {
namespace {

// The slot nearest `pts`, half way rounding up.
std::int64_t nearest_slot(std::int64_t pts) {
  std::int64_t slot = pts / picture_interval;
  std::int64_t rest = pts % picture_interval;
  if (rest < 0) {
    --slot;
    rest += picture_interval;
  }
  return rest * 2 >= picture_interval ? slot + 1 : slot;
}

}  // namespace

std::optional<std::int64_t> picture_grid::stamp(std::int64_t source_ts, AVRational source_tb,
                                                std::int64_t origin) {
  std::optional<std::int64_t> own;
  if (source_ts != AV_NOPTS_VALUE) {
    if (const auto since_origin = checked_subtract(source_ts, origin))
      own = checked_rescale(*since_origin, source_tb, video_time_base);
  }
  const bool first = last_stamp_ == AV_NOPTS_VALUE;
  const auto slot_time = [&](std::int64_t slot) -> std::optional<std::int64_t> {
    const auto from_phase = checked_multiply(slot, picture_interval);
    return from_phase ? checked_add(phase_, *from_phase) : std::nullopt;
  };
  std::optional<std::int64_t> kept;
  std::int64_t slot = 0;
  if (!own) {
    // Without a usable timestamp, the picture follows the last one.
    kept = first ? 0 : checked_add(last_stamp_, picture_interval);
    if (kept) slot = first ? 0 : last_slot_ + 1;
    if (kept && first) phase_ = *kept;
  } else if (first) {
    kept = own;
    phase_ = *own;
    last_source_ = *own;
  } else {
    const auto interval = checked_subtract(*own, last_source_);
    // The source's pace: intervals of up to a second, averaged over the first
    // pace_window, then a running mean over about as many.
    if (interval && *interval > 0 && *interval <= video_time_base.den) {
      if (intervals_ < pace_window) {
        mean_interval_ += *interval;
        if (++intervals_ == pace_window) mean_interval_ /= pace_window;
      } else {
        mean_interval_ += (*interval - mean_interval_) / pace_window;
      }
    }
    // A source well over 30 a second (60, 50) keeps one picture in two at its
    // own time; told by its pace over a few pictures at least, so that a
    // 30-a-second recording with a late picture and an early one keeps both.
    const std::int64_t pace = intervals_ == 0            ? 0
                              : intervals_ < pace_window ? mean_interval_ / intervals_
                                                         : mean_interval_;
    const bool fast = intervals_ >= pace_known && pace < 2 * picture_interval / 3;
    const bool faster_than_grid =
        intervals_ >= pace_window && mean_interval_ * 1000 < picture_interval * 995;
    // At the grid's own pace (within 1 %), a picture that comes early for its
    // slot takes the slot's time: a hair early, a key frame would miss the
    // segment's end by that much, and the segment would run 2 s long.
    const bool at_grid_pace =
        intervals_ >= pace_window &&
        std::llabs(mean_interval_ - picture_interval) * 100 <= picture_interval;
    last_source_ = *own;
    const auto since_phase = checked_subtract(*own, phase_);
    // Beyond 64 bits from the first picture: after every slot, or before them.
    slot = since_phase ? nearest_slot(*since_phase) : *own > phase_ ? last_slot_ + 1 : last_slot_;
    if (slot <= last_slot_) {
      // Its slot is taken: the next one, while that is within a slot of it.
      slot = last_slot_ + 1;
      const auto at = slot_time(slot);
      const auto late = at ? checked_subtract(*at, *own) : std::nullopt;
      if (!fast && late && *late < picture_interval) kept = at;
    } else {
      // Later than the last one's slot: beyond 64 bits after it is far enough.
      const auto since_last = checked_subtract(*own, last_stamp_);
      const bool whole_picture_after =
          since_last ? *since_last >= min_picture_interval : *own > last_stamp_;
      const auto at = slot_time(slot);
      const bool early = at_grid_pace && at && *own < *at - early_for_slot;
      if (fast && !whole_picture_after)
        ;  // a fast source's picture too close to the last one kept
      else if (!faster_than_grid && whole_picture_after && !early)
        kept = own;
      else
        kept = at;
    }
  }
  if (!kept) return std::nullopt;
  last_stamp_ = *kept;
  last_slot_ = slot;
  return kept;
}

double picture_rate(std::int64_t pictures, std::int64_t first_pts, std::int64_t last_pts) {
  if (pictures < 2 || last_pts <= first_pts) return 0;
  return double(pictures - 1) * video_time_base.den /
         ((double(last_pts) - double(first_pts)) * video_time_base.num);
}

}  // namespace corvane
