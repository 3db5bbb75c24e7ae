#include "source/timeline.h"

namespace corvane {
namespace {

std::int64_t known_or_zero(std::int64_t ts) { return ts == AV_NOPTS_VALUE ? 0 : ts; }

}  // namespace

timeline_origin common_origin(std::int64_t video_start, AVRational video_tb,
                              std::int64_t audio_start, AVRational audio_tb, int sample_rate) {
  video_start = known_or_zero(video_start);
  audio_start = known_or_zero(audio_start);
  const AVRational sample_tb{1, sample_rate};
  if (av_compare_ts(video_start, video_tb, audio_start, audio_tb) <= 0) {
    return {video_start, av_rescale_q(audio_start, audio_tb, sample_tb) -
                             av_rescale_q(video_start, video_tb, sample_tb)};
  }
  return {av_rescale_q(audio_start, audio_tb, video_tb), 0};
}

std::optional<std::int64_t> picture_pts(std::int64_t source_ts, AVRational source_tb,
                                        std::int64_t origin, std::int64_t previous) {
  if (source_ts == AV_NOPTS_VALUE)
    return previous == AV_NOPTS_VALUE ? 0 : previous + picture_interval;
  const std::int64_t pts = av_rescale_q(source_ts - origin, source_tb, video_time_base);
  if (previous != AV_NOPTS_VALUE && pts - previous < min_picture_interval) return std::nullopt;
  return pts;
}

double picture_rate(std::int64_t pictures, std::int64_t first_pts, std::int64_t last_pts) {
  if (pictures < 2 || last_pts <= first_pts) return 0;
  return double(pictures - 1) * video_time_base.den /
         (double(last_pts - first_pts) * video_time_base.num);
}

}  // namespace corvane
