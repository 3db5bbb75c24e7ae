#include "transcoder/timeline.h"

#include <gtest/gtest.h>

#include <vector>

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

// Stamps source timestamps one after the other as the video path does; -1 marks
// a dropped picture.
std::vector<std::int64_t> stamp_all(const std::vector<std::int64_t>& source, AVRational tb,
                                    std::int64_t origin = 0) {
  std::vector<std::int64_t> out;
  std::int64_t previous = AV_NOPTS_VALUE;
  for (const auto ts : source) {
    const auto pts = picture_pts(ts, tb, origin, previous);
    out.push_back(pts.value_or(-1));
    if (pts) previous = *pts;
  }
  return out;
}

using stamps = std::vector<std::int64_t>;

TEST(PicturePts, SlowerSourceKeepsEveryPictureAtItsTime) {
  EXPECT_EQ(stamp_all({0, 1, 5}, AVRational{1, 25}), (stamps{0, 1, 6}));
  for (const auto pts : stamp_all({0, 1, 2, 3, 4, 5, 6, 7, 8}, AVRational{1, 25}))
    EXPECT_NE(pts, -1);
}

TEST(PicturePts, SixtyFpsSourceKeepsOnePictureInEachThirtiethOfASecond) {
  // 1/60 s rounds to the nearest 1/30 s, so the picture it collides with is dropped.
  EXPECT_EQ(stamp_all({0, 1, 2, 3, 4, 5}, AVRational{1, 60}), (stamps{0, 1, -1, 2, -1, 3}));
}

TEST(PicturePts, MillisecondTimestampsOfThirtyFpsKeepEveryPicture) {
  // Matroska and WebM store 30 fps as 0, 33, 67, 100 ms: rounding down would
  // take 33 ms for 0 and drop that picture.
  EXPECT_EQ(stamp_all({0, 33, 67, 100, 133, 167}, AVRational{1, 1000}),
            (stamps{0, 1, 2, 3, 4, 5}));
}

TEST(PicturePts, OriginIsSubtractedAndRepeatsDropped) {
  EXPECT_EQ(stamp_all({126000, 129000, 132000}, ts_tb, 126000), (stamps{0, 1, 2}));
  EXPECT_EQ(stamp_all({0, 3000, 3000, 1500, 6000}, ts_tb), (stamps{0, 1, -1, -1, 2}));
}

TEST(PicturePts, MissingTimestampFollowsThePrevious) {
  EXPECT_EQ(picture_pts(AV_NOPTS_VALUE, AVRational{1, 25}, 0, AV_NOPTS_VALUE), 0);
  EXPECT_EQ(picture_pts(AV_NOPTS_VALUE, AVRational{1, 25}, 100, 41), 42);
  EXPECT_EQ(stamp_all({0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 15000}, ts_tb), (stamps{0, 1, 2, 5}));
}

}  // namespace
}  // namespace corvane
