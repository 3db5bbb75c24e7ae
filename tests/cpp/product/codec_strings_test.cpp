#include "product/codec_strings.h"

#include <gtest/gtest.h>

#include <vector>

namespace corvane {
namespace {

using bytes = std::vector<std::uint8_t>;

TEST(CodecNames, H264FromTheSequenceParameterSet) {
  struct {
    const char* what;
    bytes extradata;
    std::optional<std::string> name;
  } cases[] = {
      {"annex b, four-byte start codes",
       {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x28, 0xAC, 0, 0, 0, 1, 0x68, 0xEB, 0xE3},
       "avc1.640028"},
      {"annex b, SEI first, three-byte start code",
       {0, 0, 0, 1, 0x06, 0x05, 0xFF, 0, 0, 1, 0x67, 0x4D, 0x40, 0x1E, 0x9A},
       "avc1.4D401E"},
      {"constrained baseline", {0, 0, 1, 0x27, 0x42, 0xE0, 0x0D}, "avc1.42E00D"},
      {"emulation prevention byte", {0, 0, 1, 0x67, 0x00, 0x00, 0x03, 0x01, 0x1F}, "avc1.000001"},
      {"avcC", {0x01, 0x64, 0x00, 0x1F, 0xFF, 0xE1, 0x00, 0x19, 0x67}, "avc1.64001F"},
      {"no SPS", {0, 0, 0, 1, 0x68, 0xEB, 0xE3}, std::nullopt},
      {"SPS cut short", {0, 0, 0, 1, 0x67, 0x64, 0x00}, std::nullopt},
      {"nothing", {}, std::nullopt},
      {"neither form", {0x02, 0x64, 0x00, 0x1F}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(h264_codec_name(c.extradata), c.name);
  }
}

TEST(CodecNames, AacFromTheAudioObjectType) {
  EXPECT_EQ(aac_codec_name(bytes{0x12, 0x10}), "mp4a.40.2");  // LC, 44.1 kHz, stereo
  EXPECT_EQ(aac_codec_name(bytes{0x2B, 0x92, 0x08}), "mp4a.40.5");
  EXPECT_EQ(aac_codec_name(bytes{0xF8, 0xE0}), "mp4a.40.39");  // escaped: 32 + 7
  EXPECT_EQ(aac_codec_name(bytes{0xF8}), std::nullopt);
  EXPECT_EQ(aac_codec_name(bytes{0x00, 0x10}), std::nullopt);
  EXPECT_EQ(aac_codec_name(bytes{}), std::nullopt);
}

}  // namespace
}  // namespace corvane
