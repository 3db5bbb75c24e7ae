#include "source/picture_grid.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace corvane {
namespace {

constexpr AVRational ts_tb{1, 90000};

// Stamps source timestamps one after the other as the video path does; -1 marks
// a dropped picture.
std::vector<std::int64_t> stamp_all(const std::vector<std::int64_t>& source, AVRational tb,
                                    std::int64_t origin = 0) {
  std::vector<std::int64_t> out;
  picture_grid grid;
  for (const auto ts : source) out.push_back(grid.stamp(ts, tb, origin).value_or(-1));
  return out;
}

using stamps = std::vector<std::int64_t>;

TEST(PicturePts, SlowerSourceKeepsEveryPictureAtItsTime) {
  EXPECT_EQ(stamp_all({0, 1, 5}, AVRational{1, 25}), (stamps{0, 3600, 18000}));
  EXPECT_EQ(stamp_all({0, 1001, 2002, 3003}, AVRational{1, 24000}), (stamps{0, 3754, 7508, 11261}));
}

TEST(PicturePts, TwentyFiveFpsStaysEvenlySpaced) {
  // On a 1/30 s grid every fifth interval of 25 pictures a second would be
  // twice as long as the others.
  const auto pts = stamp_all({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, AVRational{1, 25});
  for (std::size_t i = 1; i < pts.size(); ++i) EXPECT_EQ(pts[i] - pts[i - 1], 3600);
}

TEST(PicturePts, SixtyFpsSourceKeepsOnePictureInEachThirtiethOfASecond) {
  // Until its pace is known, a picture takes the next free slot; from then on,
  // one picture in two is kept at its own time.
  EXPECT_EQ(stamp_all({0, 1, 2, 3, 4, 5, 6, 7, 8}, AVRational{1, 60}),
            (stamps{0, 3000, -1, 6000, -1, -1, 9000, -1, 12000}));
  EXPECT_EQ(stamp_all({0, 1001, 2002, 3003, 4004, 5005, 6006}, AVRational{1, 60000}),
            (stamps{0, 3000, 6000, -1, -1, -1, 9009}));
}

TEST(PicturePts, MillisecondTimestampsKeepThePicturesOfTheirRate) {
  // Matroska and WebM store 30 fps as 0, 33, 67, 100 ms, and 60 fps as 0, 17,
  // 33, 50 ms: 33 ms is close enough to 1/30 s.
  EXPECT_EQ(stamp_all({0, 33, 67, 100, 133, 167}, AVRational{1, 1000}),
            (stamps{0, 2970, 6030, 9000, 11970, 15030}));
  EXPECT_EQ(stamp_all({0, 17, 33, 50, 67, 83, 100}, AVRational{1, 1000}),
            (stamps{0, 3000, -1, 6000, -1, -1, 9000}));
}

TEST(PicturePts, OriginIsSubtractedAndRepeatsDropped) {
  EXPECT_EQ(stamp_all({126000, 129000, 132000}, ts_tb, 126000), (stamps{0, 3000, 6000}));
  EXPECT_EQ(stamp_all({0, 3000, 3000, 1500, 6000}, ts_tb), (stamps{0, 3000, -1, -1, 6000}));
}

TEST(PicturePts, MissingTimestampFollowsThePrevious) {
  EXPECT_EQ(stamp_all({AV_NOPTS_VALUE, 1}, AVRational{1, 25}), (stamps{0, 3600}));
  EXPECT_EQ(stamp_all({0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 15000}, ts_tb),
            (stamps{0, 3000, 6000, 15000}));
}

TEST(PicturePts, JitteryPicturesAtOrBelowThirtyASecondAreAllKept) {
  // 31 and 35 ms apart by turns (30.3 a second): only what the grid cannot
  // hold is dropped, about one picture in a hundred; every other picture is
  // stamped at most a slot from its own time, and one slot at least after
  // the one before.
  std::vector<std::int64_t> jittery;
  for (int i = 0, ms = 0; i < 303; ++i, ms += i % 2 ? 31 : 35) jittery.push_back(ms);
  const auto pts = stamp_all(jittery, AVRational{1, 1000});
  std::int64_t kept = 0, previous = -1;
  for (std::size_t i = 0; i < pts.size(); ++i) {
    if (pts[i] < 0) continue;
    ++kept;
    EXPECT_LT(std::llabs(pts[i] - jittery[i] * 90), 3000) << i;
    EXPECT_GE(pts[i] - previous, previous < 0 ? 0 : 1500) << i;
    previous = pts[i];
  }
  EXPECT_GE(kept, 297);
  // A recording a hair faster than 30 a second (33.28 ms): its pictures keep
  // 2 s, 60 pictures, between key frames.
  std::vector<std::int64_t> recorded;
  for (int i = 0; i < 240; ++i) recorded.push_back(i * 33280 / 1000);
  const auto recorded_pts = stamp_all(recorded, AVRational{1, 1000});
  for (const int key : {60, 120, 180}) EXPECT_EQ(recorded_pts[key], key * 3000) << key;
  // A 30-a-second recording with one picture late and the next early keeps
  // both, from its first picture on.
  EXPECT_EQ(stamp_all({0, 33, 50, 100, 133}, AVRational{1, 1000}),
            (stamps{0, 2970, 6000, 9000, 11970}));
  EXPECT_EQ(stamp_all({0, 19, 66, 100, 133}, AVRational{1, 1000}),
            (stamps{0, 3000, 5940, 9000, 11970}));
  // Jitter around 25 a second keeps every picture.
  EXPECT_EQ(stamp_all({0, 38, 82, 118, 160}, AVRational{1, 1000}),
            (stamps{0, 3420, 7380, 10620, 14400}));
}

TEST(PicturePts, TimestampsThatDoNotFitCountAsUnknown) {
  constexpr std::int64_t max = INT64_MAX;
  constexpr std::int64_t min = INT64_MIN + 1;  // INT64_MIN itself is AV_NOPTS_VALUE
  // A picture: measured from an origin at the other end of the range, or
  // rescaled beyond 64 bits, it follows the previous one.
  EXPECT_EQ(stamp_all({max}, ts_tb, min), (stamps{0}));
  EXPECT_EQ(stamp_all({0, max / 2}, AVRational{1, 1}), (stamps{0, 3000}));
  // Nothing follows a picture at the end of the range, and nothing is kept
  // before it.
  EXPECT_EQ(stamp_all({max - 1, AV_NOPTS_VALUE, max, min}, ts_tb), (stamps{max - 1, -1, -1, -1}));
  EXPECT_EQ(stamp_all({min, max}, ts_tb), (stamps{min, max}));
  EXPECT_GT(picture_rate(2, min, max), 0.0);
}

TEST(PictureRate, IntervalsOverTheTimeSpanned) {
  EXPECT_DOUBLE_EQ(picture_rate(60, 0, 59 * 3000), 30.0);
  EXPECT_DOUBLE_EQ(picture_rate(325, 126000, 126000 + 324 * 3600), 25.0);
  EXPECT_DOUBLE_EQ(picture_rate(3, 0, 2 * 3003), 30000.0 / 1001);
  EXPECT_EQ(picture_rate(1, 0, 0), 0.0);  // a single picture has no rate
  EXPECT_EQ(picture_rate(0, AV_NOPTS_VALUE, AV_NOPTS_VALUE), 0.0);
}

}  // namespace
}  // namespace corvane
