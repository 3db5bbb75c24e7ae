#include "source/timeline_origin.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace corvane {
namespace {

constexpr AVRational ts_tb{1, 90000};

TEST(CommonOrigin, EarlierStreamSetsTheOrigin) {
  struct {
    std::int64_t video_start;
    AVRational video_tb;
    std::int64_t audio_start;
    AVRational audio_tb;
    std::int64_t video_origin, audio_start_samples;
  } cases[] = {
      {0, ts_tb, 0, {1, 44100}, 0, 0},
      {126000, ts_tb, 127800, ts_tb, 126000, 882},  // audio 0.02 s late
      {40, {1, 25}, 48000, {1, 48000}, 25, 0},      // audio 0.6 s early
      {AV_NOPTS_VALUE, ts_tb, 9000, ts_tb, 0, 4410},
      {9000, ts_tb, AV_NOPTS_VALUE, ts_tb, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.video_start) + " / " + std::to_string(c.audio_start));
    const auto o = common_origin(c.video_start, c.video_tb, c.audio_start, c.audio_tb, 44100);
    EXPECT_EQ(o.video_origin, c.video_origin);
    EXPECT_EQ(o.audio_start_samples, c.audio_start_samples);
  }
}

TEST(VideoOnlyOrigin, TheVideosStart) {
  EXPECT_EQ(video_only_origin(126000).video_origin, 126000);
  EXPECT_EQ(video_only_origin(AV_NOPTS_VALUE).video_origin, 0);
  EXPECT_EQ(video_only_origin(-2).audio_start_samples, 0);
}

TEST(CommonOrigin, StartsThatDoNotFitCountAsUnknown) {
  // An audio start too far after the video's to count in samples is unknown (0).
  constexpr AVRational ms{1, 1000};
  const auto far_audio =
      common_origin(-200'000'000'000'000'000, ms, 200'000'000'000'000'000, ms, 44100);
  EXPECT_EQ(far_audio.video_origin, -200'000'000'000'000'000);
  EXPECT_EQ(far_audio.audio_start_samples, 8'820'000'000'000'000'000);
  const auto far_video = common_origin(INT64_MAX, AVRational{1000, 1}, 0, ts_tb, 44100);
  EXPECT_EQ(far_video.video_origin, 0);
  EXPECT_EQ(far_video.audio_start_samples, 0);
}

}  // namespace
}  // namespace corvane
