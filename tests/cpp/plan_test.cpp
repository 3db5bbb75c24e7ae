#include "ladder/plan.h"

#include <gtest/gtest.h>

#include <ostream>

#include "ladder/master_playlist.h"
#include "temp_dir.h"
#include "transcoder/av_error.h"
#include "transcoder/ffmpeg.h"

namespace corvane {

bool operator==(const rendition_entry& a, const rendition_entry& b) {
  return a.name == b.name && a.width == b.width && a.height == b.height &&
         a.bandwidth == b.bandwidth;
}
void PrintTo(const rendition_entry& e, std::ostream* os) {
  *os << "{" << e.name << " " << e.width << "x" << e.height << " @" << e.bandwidth << "}";
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
      {1080, 1920, "720p", 720, 1280},  {1080, 1080, "720p", 1280, 720},
      {0, 0, "720p", 1280, 720},        {640, 360, "1080p", 1920, 1080},
      {1920, 1080, "480p", 854, 480},   {480, 854, "480p", 480, 854},
      {1280, 720, "360p", 640, 360},    {719, 720, "1080p", 1080, 1920},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.source_w) + "x" + std::to_string(c.source_h) + " " + c.name);
    const auto plan = plan_ladder({c.name}, {}, c.source_w, c.source_h);
    ASSERT_EQ(plan.size(), 1u);
    EXPECT_EQ(plan[0].width, c.width);
    EXPECT_EQ(plan[0].height, c.height);
  }
}

TEST(PlanLadder, NearMissNamesAreSkippedButKeepTheirBitratePosition) {
  for (const char* odd : {"720P", " 720p", "720", "720p "}) {
    SCOPED_TRACE(odd);
    EXPECT_EQ(plan_ladder({odd, "480p"}, {}, 1920, 1080),
              (entries{{"480p", 854, 480, 1000000}}));
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

TEST(CompleteBitrates, FillsFromTheTableOrOneMegabit) {
  EXPECT_EQ(complete_bitrates({"1080p", "720p", "480p", "360p", "x"}, {}),
            (rates{5000000, 2500000, 1000000, 400000, 1000000}));
  EXPECT_EQ(complete_bitrates({"1080p", "720p"}, {7}), (rates{7, 2500000}));
  EXPECT_EQ(complete_bitrates({"1080p"}, {1, 2, 3}), (rates{1, 2, 3}));
}

TEST(Paths, MediaPlaylistGoesBesideTheMaster) {
  EXPECT_EQ(media_playlist_path("out/master.m3u8", "720p"), "out/720p.m3u8");
  EXPECT_EQ(media_playlist_path("master.m3u8", "720p"), "720p.m3u8");
  EXPECT_EQ(media_playlist_path("/abs/m.m3u8", "720p"), "/abs/720p.m3u8");
  EXPECT_EQ(media_playlist_path("a/b.d/m", "360p"), "a/b.d/360p.m3u8");
  EXPECT_EQ(directory_of("/m.m3u8"), "/");
  EXPECT_EQ(directory_of("dir/"), "dir/");
}

TEST(MasterPlaylist, ExactText) {
  EXPECT_EQ(master_playlist_text({{"1080p", 1920, 1080, 5000000}, {"720p", 1280, 720, 2500000}}),
            "#EXTM3U\n"
            "#EXT-X-VERSION:3\n"
            "#EXT-X-STREAM-INF:BANDWIDTH=5000000,RESOLUTION=1920x1080\n"
            "1080p.m3u8\n"
            "#EXT-X-STREAM-INF:BANDWIDTH=2500000,RESOLUTION=1280x720\n"
            "720p.m3u8\n");
  const std::string empty = master_playlist_text({});
  EXPECT_EQ(empty, "#EXTM3U\n#EXT-X-VERSION:3\n");
  EXPECT_EQ(empty.size(), 25u);
  EXPECT_NE(master_playlist_text({{"360p", 640, 360, -5}}).find("BANDWIDTH=-5,RESOLUTION=640x360\n"),
            std::string::npos);
}

TEST(MasterPlaylist, WritingReplacesALongerFile) {
  const temp_dir dir;
  const std::string path = dir / "master.m3u8";
  std::ofstream(path) << std::string(4096, 'x');
  const entries ladder{{"360p", 640, 360, 400000}};
  write_master_playlist(path, ladder);
  EXPECT_EQ(read_text(path), master_playlist_text(ladder));
}

TEST(MasterPlaylist, MissingDirectoryThrowsWithTheSystemsReason) {
  const temp_dir dir;
  const std::string path = dir / "absent/master.m3u8";
  try {
    write_master_playlist(path, {});
    FAIL() << "no exception";
  } catch (const av_error& e) {
    EXPECT_EQ(e.code(), AVERROR(ENOENT));
    EXPECT_EQ(e.path(), path);
  }
}

}  // namespace
}  // namespace corvane
