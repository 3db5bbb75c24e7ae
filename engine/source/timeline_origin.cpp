#include "source/timeline_origin.h"

#include <optional>
#include <utility>

#include "ffmpeg/timestamps.h"

namespace corvane {
namespace {

std::int64_t known_or_zero(std::int64_t ts) { return ts == AV_NOPTS_VALUE ? 0 : ts; }

std::optional<timeline_origin> origin_of(std::int64_t video_start, AVRational video_tb,
                                         std::int64_t audio_start, AVRational audio_tb,
                                         int sample_rate) {
  const AVRational sample_tb{1, sample_rate};
  if (av_compare_ts(video_start, video_tb, audio_start, audio_tb) <= 0) {
    const auto audio = checked_rescale(audio_start, audio_tb, sample_tb);
    const auto video = checked_rescale(video_start, video_tb, sample_tb);
    if (!audio || !video) return std::nullopt;
    const auto late = checked_subtract(*audio, *video);
    if (!late) return std::nullopt;
    return timeline_origin{video_start, *late};
  }
  const auto origin = checked_rescale(audio_start, audio_tb, video_tb);
  if (!origin) return std::nullopt;
  return timeline_origin{*origin, 0};
}

}  // namespace

timeline_origin common_origin(std::int64_t video_start, AVRational video_tb,
                              std::int64_t audio_start, AVRational audio_tb, int sample_rate) {
  video_start = known_or_zero(video_start);
  audio_start = known_or_zero(audio_start);
  // A start out of range counts as unknown: the audio's first, then the video's.
  for (const auto& [video, audio] :
       {std::pair{video_start, audio_start}, std::pair{video_start, std::int64_t{0}},
        std::pair{std::int64_t{0}, audio_start}}) {
    if (const auto origin = origin_of(video, video_tb, audio, audio_tb, sample_rate))
      return *origin;
  }
  return {};
}

timeline_origin video_only_origin(std::int64_t video_start) {
  return timeline_origin{known_or_zero(video_start), 0};
}

}  // namespace corvane
