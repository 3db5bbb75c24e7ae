#include "product/output_layout.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>

namespace corvane {
namespace {

TEST(HlsNaming, StemAndSegmentPattern) {
  const struct {
    const char *playlist, *stem, *segments;
  } cases[] = {
      {"720p.m3u8", "720p", "720p_%03d.ts"},
      {"out/720p.m3u8", "out/720p", "out/720p_%03d.ts"},
      {"out/stream", "out/stream", "out/stream_%03d.ts"},
      {"clips.d/stream", "clips", "clips_%03d.ts"},
      {"./stream", "", "_%03d.ts"},
      // The muxer copies a lone '%' and "%%" as they stand.
      {"50%off/720p.m3u8", "50%off/720p", "50%off/720p_%03d.ts"},
      {"50%%off/720p.m3u8", "50%%off/720p", "50%%off/720p_%03d.ts"},
      {"%%d/x.m3u8", "%%d/x", "%%d/x_%03d.ts"},
      {"out%/x.m3u8", "out%/x", "out%/x_%03d.ts"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.playlist);
    EXPECT_EQ(playlist_stem(c.playlist), c.stem);
    EXPECT_EQ(segment_template(mpegts_layout, c.stem), c.segments);
  }
}

TEST(HlsNaming, SequencesTheMuxerWouldReplaceAreRefused) {
  for (const auto& [stem, sequence] : {std::pair{"out%d/720p", "'%d'"},
                                       {"run%03d/x", "'%03d'"},
                                       {"out_%v/720p", "'%v'"},
                                       {"%%%d/x", "'%d'"}}) {
    try {
      segment_template(mpegts_layout, stem);
      ADD_FAILURE() << stem << " was accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(sequence), std::string::npos) << e.what();
    }
  }
}

TEST(HlsNaming, SegmentNamesOfARendition) {
  for (const auto& [file, is_segment] : {std::pair{"720p_000.ts", true},
                                         {"720p_1234.ts", true},
                                         {"720p_00.ts", false},
                                         {"720p_00a.ts", false},
                                         {"720p_000.m4s", false},
                                         {"360p_000.ts", false},
                                         {"720p.m3u8", false}}) {
    SCOPED_TRACE(file);
    EXPECT_EQ(is_segment_name(mpegts_layout, file, "720p"), is_segment);
  }
  EXPECT_EQ(playlist_name(mpegts_layout, "720p"), "720p.m3u8");
}

}  // namespace
}  // namespace corvane
