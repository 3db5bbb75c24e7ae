#include "ladder/plan.h"

#include <gtest/gtest.h>

#include <limits>
#include <ostream>
#include <stdexcept>

#include "ffmpeg/error.h"
#include "ffmpeg/headers.h"
#include "ladder/master_playlist.h"
#include "ladder/measure.h"
#include "tests/cpp/temp_dir.h"

namespace corvane {

bool operator==(const rendition_entry& a, const rendition_entry& b) {
  return a.name == b.name && a.width == b.width && a.height == b.height && a.bitrate == b.bitrate;
}
void PrintTo(const rendition_entry& e, std::ostream* os) {
  *os << "{" << e.name << " " << e.width << "x" << e.height << " @" << e.bitrate << "}";
}

namespace {

using entries = std::vector<rendition_entry>;
using rates = std::vector<std::int32_t>;

TEST(PlanLadder, BitratesComeFromTheListThenTheTable) {
  EXPECT_EQ(plan_ladder({"720p"}, {}, 1920, 1080), (entries{{"720p", 1280, 720, 2500000}}));
  EXPECT_EQ(plan_ladder({"1080p", "540p", "360p"}, {2500000}, 1920, 1080),
            (entries{{"1080p", 1920, 1080, 2500000}, {"360p", 640, 360, 400000}}));
  EXPECT_EQ(plan_ladder({"480p"}, {400000, 5000000}, 1920, 1080),
            (entries{{"480p", 854, 480, 400000}}));
}

TEST(PlanLadder, SizeFollowsTheSourceShape) {
  struct {
    int source_w, source_h;
    const char* name;
    int width, height;
  } cases[] = {
      {1080, 1920, "720p", 720, 1280}, {1080, 1080, "720p", 1280, 720},
      {0, 0, "720p", 1280, 720},       {640, 360, "1080p", 1920, 1080},
      {1920, 1080, "480p", 854, 480},  {480, 854, "480p", 480, 854},
      {1280, 720, "360p", 640, 360},   {719, 720, "1080p", 1080, 1920},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.source_w) + "x" + std::to_string(c.source_h) + " " + c.name);
    const auto plan = plan_ladder({c.name}, {}, c.source_w, c.source_h);
    ASSERT_EQ(plan.size(), 1u);
    EXPECT_EQ(plan[0].width, c.width);
    EXPECT_EQ(plan[0].height, c.height);
  }
}

TEST(PlanLadder, EachRenditionShowsTheSourcesDisplayAspect) {
  struct {
    int display_w, display_h;
    const char* name;
    sample_aspect sar;
  } cases[] = {
      {16, 9, "360p", {}},     {16, 9, "480p", {}},  // 854x480 is 16:9 within 0.08 %
      {9, 16, "720p", {}},     {4, 3, "360p", {3, 4}}, {4, 3, "480p", {320, 427}},
      {4, 3, "1080p", {3, 4}}, {3, 4, "360p", {4, 3}}, {1280, 536, "720p", {90, 67}},  // 2.39:1
      {213, 120, "360p", {}},  // 426x240: 0.16 % off 16:9
      {0, 0, "360p", {}},      // unknown: unsaid
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.display_w) + ":" + std::to_string(c.display_h) + " " + c.name);
    const auto plan = plan_ladder({c.name}, {}, c.display_w, c.display_h);
    ASSERT_EQ(plan.size(), 1u);
    EXPECT_EQ(plan[0].sample_aspect_ratio, c.sar);
  }
}

TEST(SampleAspectFor, WithinTheToleranceOfSquareStaysUnsaid) {
  EXPECT_EQ(sample_aspect_for(640, 360, 16, 9), sample_aspect{});
  // 1 % is the edge: 0.99 and 1.01 of square are said, just inside is not.
  EXPECT_EQ(sample_aspect_for(100, 100, 1009, 1000), sample_aspect{});
  EXPECT_EQ(sample_aspect_for(100, 100, 101, 100), (sample_aspect{101, 100}));
  EXPECT_EQ(sample_aspect_for(100, 100, 99, 100), (sample_aspect{99, 100}));
  // 2.39:1 on a 16:9 rendition, in lowest terms.
  EXPECT_EQ(sample_aspect_for(1280, 720, 1280, 536), (sample_aspect{90, 67}));
  // Terms beyond what H.264 carries come as the nearest fraction that fits.
  const sample_aspect near = sample_aspect_for(1, 1, 1000003, 699983);
  EXPECT_LE(near.num, 65535);
  EXPECT_LE(near.den, 65535);
  EXPECT_NEAR(double(near.num) / near.den, 1000003.0 / 699983.0, 1e-8);
  EXPECT_EQ(sample_aspect_for(0, 360, 16, 9), sample_aspect{});
  EXPECT_EQ(sample_aspect_for(1, 1, 1, 1000000), sample_aspect{});  // nothing that small fits
}

TEST(PlanLadder, NearMissNamesAreSkippedButKeepTheirBitratePosition) {
  for (const char* odd : {"720P", " 720p", "720", "720p "}) {
    SCOPED_TRACE(odd);
    EXPECT_EQ(plan_ladder({odd, "480p"}, {}, 1920, 1080), (entries{{"480p", 854, 480, 1000000}}));
    EXPECT_EQ(plan_ladder({odd, "360p"}, {7000000}, 1920, 1080),
              (entries{{"360p", 640, 360, 400000}}));
    EXPECT_EQ(complete_bitrates({odd, "480p"}, {}), (rates{1000000, 1000000}));
  }
}

TEST(PlanLadder, RepeatedNameIsPlannedOnceWithItsFirstBitrate) {
  EXPECT_EQ(plan_ladder({"720p", "360p", "720p"}, {111, 222, 333}, 1920, 1080),
            (entries{{"720p", 1280, 720, 111}, {"360p", 640, 360, 222}}));
  EXPECT_TRUE(plan_ladder({"4k", "240p"}, {1, 2}, 1920, 1080).empty());
}

TEST(PlanLadder, BitrateNotAboveZeroIsRefusedWithItsPositionAndValue) {
  struct {
    std::vector<std::string> names;
    rates bitrates;
    const char* message;  // empty: planned
  } cases[] = {
      {{"360p"}, {0}, "bitrate[0] is 0, for 360p"},
      {{"1080p", "360p"}, {5000000, -5}, "bitrate[1] is -5, for 360p"},
      {{"360p"}, {-2147483647 - 1}, "bitrate[0] is -2147483648, for 360p"},
      {{"540p", "360p"}, {0}, ""},      // an unknown name's value is never used
      {{"360p", "360p"}, {1, -1}, ""},  // nor a repeat's
      {{"360p"}, {400000, -1}, ""},     // nor one past the names
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    if (*c.message == '\0') {
      EXPECT_EQ(plan_ladder(c.names, c.bitrates, 1920, 1080).size(), 1u);
      continue;
    }
    try {
      plan_ladder(c.names, c.bitrates, 1920, 1080);
      ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()).find(c.message), 0u) << e.what();
    }
  }
}

TEST(CompleteBitrates, FillsFromTheTableOrOneMegabit) {
  EXPECT_EQ(complete_bitrates({"1080p", "720p", "480p", "360p", "x"}, {}),
            (rates{5000000, 2500000, 1000000, 400000, 1000000}));
  EXPECT_EQ(complete_bitrates({"1080p", "720p"}, {7}), (rates{7, 2500000}));
  EXPECT_EQ(complete_bitrates({"1080p"}, {1, 2, 3}), (rates{1, 2, 3}));
}

TEST(Paths, MediaPlaylistGoesBesideTheMaster) {
  EXPECT_EQ(media_playlist_path("out/master.m3u8", "720p", mpegts_layout), "out/720p.m3u8");
  EXPECT_EQ(media_playlist_path("master.m3u8", "720p", mpegts_layout), "720p.m3u8");
  EXPECT_EQ(media_playlist_path("/abs/m.m3u8", "720p", mpegts_layout), "/abs/720p.m3u8");
  EXPECT_EQ(media_playlist_path("a/b.d/m", "360p", mpegts_layout), "a/b.d/360p.m3u8");
  EXPECT_EQ(directory_of("/m.m3u8"), "/");
  EXPECT_EQ(directory_of("dir/"), "dir/");
}

TEST(MasterPlaylist, ExactText) {
  EXPECT_EQ(
      master_playlist_text(
          {{"1080p", 1920, 1080, 5000000, 5800787, 5391234, "avc1.640028,mp4a.40.2", 30},
           {"720p", 1280, 720, 2500000, 2932437, 2700001, "avc1.64001F,mp4a.40.2", 30000.0 / 1001}},
          mpegts_layout),
      "#EXTM3U\n"
      "#EXT-X-VERSION:3\n"
      "#EXT-X-INDEPENDENT-SEGMENTS\n"
      "#EXT-X-STREAM-INF:BANDWIDTH=5800787,AVERAGE-BANDWIDTH=5391234,"
      "CODECS=\"avc1.640028,mp4a.40.2\",RESOLUTION=1920x1080,FRAME-RATE=30.000\n"
      "1080p.m3u8\n"
      "#EXT-X-STREAM-INF:BANDWIDTH=2932437,AVERAGE-BANDWIDTH=2700001,"
      "CODECS=\"avc1.64001F,mp4a.40.2\",RESOLUTION=1280x720,FRAME-RATE=29.970\n"
      "720p.m3u8\n");
  const std::string empty = master_playlist_text({}, mpegts_layout);
  EXPECT_EQ(empty, "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-INDEPENDENT-SEGMENTS\n");
  // A single picture has no rate, and codecs that could not be read are not guessed.
  EXPECT_EQ(
      master_playlist_text({{"360p", 640, 360, 400000, 9000000000, 8000000000}}, mpegts_layout)
          .substr(empty.size()),
      "#EXT-X-STREAM-INF:BANDWIDTH=9000000000,AVERAGE-BANDWIDTH=8000000000,"
      "RESOLUTION=640x360\n360p.m3u8\n");
}

constexpr std::int64_t s = 1000000;  // microseconds

TEST(MeasureBitRates, PeakOfRunsBetweenHalfAndOneAndAHalfTargets) {
  using sizes = std::vector<segment_size>;
  constexpr std::int64_t most = std::numeric_limits<std::int64_t>::max();
  struct {
    const char* what;
    sizes segments;
    std::int64_t target_us, peak, average;
  } cases[] = {
      {"busiest segment",
       {{6 * s, 750000}, {6 * s, 1500000}, {1 * s, 10000}},
       6 * s,
       2000000,
       1390770},  // 2260000 x 8 / 13 = 1390769.2
      {"short last segment counts with its neighbour",
       {{6 * s, 750000}, {1 * s, 1000000}},
       6 * s,
       2000000,
       2000000},
      {"bounds included", {{2 * s, 250000}, {6 * s, 3000000}}, 4 * s, 4000000, 3250000},
      {"shorter than half the target: the whole rendition",
       {{1 * s, 125000}},
       6 * s,
       1000000,
       1000000},
      {"target 0, as the muxer writes for less than half a second",
       {{333333, 12500}},
       0,
       300001,
       300001},  // 100000 bits over 0.333333 s, rounded up
      {"rounded up", {{3 * s, 1}}, 6 * s, 3, 3},
      {"microseconds kept", {{5960000, 745000}}, 6 * s, 1000000, 1000000},
      {"a segment of no time adds its bytes",
       {{6 * s, 750000}, {0, 1000}},
       6 * s,
       1001334,
       1001334},
      {"too fast for 64 bits", {{1, most}, {1, most}}, 1, most, most},
      {"no time at all: one picture's", {{0, 12500}, {0, 12500}}, 0, 6000061, 6000061},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const bit_rates rates = measure_bit_rates(c.segments, c.target_us);
    EXPECT_EQ(rates.peak, c.peak);
    EXPECT_EQ(rates.average, c.average);
  }
  EXPECT_THROW(measure_bit_rates({}, 6 * s), std::runtime_error);
}

TEST(MeasureBitRates, ParsesTheMediaPlaylist) {
  const media_playlist playlist = parse_media_playlist(
      "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:7\n#EXT-X-MEDIA-SEQUENCE:0\n"
      "#EXT-X-KEY:METHOD=AES-128,URI=\"enc.key\",IV=0x00\n"
      "#EXTINF:7.200000,\n360p_000.ts\r\n#EXTINF:4.8,title\n360p_001.ts\n"
      "#EXTINF:1.0000019,\n\n360p_002.ts\n#EXT-X-ENDLIST\n");
  EXPECT_EQ(playlist.target_duration_us, 7 * s);
  ASSERT_EQ(playlist.segments.size(), 3u);
  EXPECT_EQ(playlist.segments[0].uri, "360p_000.ts");
  EXPECT_EQ(playlist.segments[1].uri, "360p_001.ts");
  EXPECT_EQ(playlist.segments[0].duration_us, 7200000);
  EXPECT_EQ(playlist.segments[1].duration_us, 4800000);
  EXPECT_EQ(playlist.segments[2].duration_us, 1000001);
  for (const char* broken :
       {"#EXTM3U\n#EXTINF:6.0,\na.ts\n", "#EXT-X-TARGETDURATION:-6\n#EXTINF:6.0,\na.ts\n",
        "#EXT-X-TARGETDURATION:6\n#EXTINF:-1,\na.ts\n",
        "#EXT-X-TARGETDURATION:6\n#EXTINF:six,\na.ts\n", "#EXT-X-TARGETDURATION:6\na.ts\n"}) {
    SCOPED_TRACE(broken);
    EXPECT_THROW(parse_media_playlist(broken), std::runtime_error);
  }
}

TEST(MeasureBitRates, ReadsTheSegmentFilesBesideThePlaylist) {
  const temp_dir dir;
  std::ofstream(dir / "360p.m3u8")
      << "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXTINF:6.000000,\n360p_000.ts\n"
         "#EXTINF:2.000000,\n360p_001.ts\n#EXTINF:4.000000,\n360p_002.ts\n#EXT-X-ENDLIST\n";
  std::ofstream(dir / "360p_000.ts") << std::string(600000, 'x');
  std::ofstream(dir / "360p_001.ts") << std::string(1000000, 'x');
  std::ofstream(dir / "360p_002.ts") << std::string(100000, 'x');
  const bit_rates rates = measure_rendition(dir / "360p.m3u8");
  EXPECT_EQ(rates.peak, 1600000);     // the first two: 8 s; the second alone is too short
  EXPECT_EQ(rates.average, 1133334);  // 1700000 x 8 / 12, rounded up
  std::filesystem::remove(dir / "360p_001.ts");
  try {
    measure_rendition(dir / "360p.m3u8");
    FAIL() << "no exception";
  } catch (const av_error& e) {
    EXPECT_EQ(e.code(), AVERROR(ENOENT));
    EXPECT_EQ(e.path(), dir / "360p_001.ts");
  }
}

TEST(MasterPlaylist, WritingReplacesALongerFile) {
  const temp_dir dir;
  const std::string path = dir / "master.m3u8";
  std::ofstream(path) << std::string(4096, 'x');
  const entries ladder{{"360p", 640, 360, 400000}};
  write_master_playlist(path, ladder, mpegts_layout);
  EXPECT_EQ(read_text(path), master_playlist_text(ladder, mpegts_layout));
}

TEST(MasterPlaylist, MissingDirectoryThrowsWithTheSystemsReason) {
  const temp_dir dir;
  const std::string path = dir / "absent/master.m3u8";
  try {
    write_master_playlist(path, {}, mpegts_layout);
    FAIL() << "no exception";
  } catch (const av_error& e) {
    EXPECT_EQ(e.code(), AVERROR(ENOENT));
    EXPECT_EQ(e.path(), path);
  }
}

}  // namespace
}  // namespace corvane
