#include "rendition/video_path.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace corvane {
namespace {

TEST(EncoderThreads, FollowThePictureAreaWithinTheCores) {
  struct {
    int width, height;
    unsigned cores;
    int threads;
  } cases[] = {
      {1920, 1080, 2, 2}, {1280, 720, 2, 1},  {854, 480, 2, 1},
      {640, 360, 2, 1},   {1080, 1920, 2, 2},  // portrait: the same area
      {1920, 1080, 8, 8}, {1280, 720, 8, 4},  {854, 480, 8, 2},
      {640, 360, 8, 1},   {1920, 1080, 1, 1}, {3840, 2160, 4, 4},  // never more than the cores
      {16, 16, 4, 1},                                              // never fewer than one
      {1920, 1080, 0, 0},  // cores unknown: the encoder picks
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " on " +
                 std::to_string(c.cores));
    EXPECT_EQ(encoder_threads(c.width, c.height, c.cores), c.threads);
  }
}

TEST(RequireVideoEncoder, FindsLibx264AndNamesAMissingEncoder) {
  const AVCodec* found = require_video_encoder(h264);
  ASSERT_NE(found, nullptr);
  EXPECT_STREQ(found->name, "libx264");
  try {
    video_codec missing = h264;
    missing.encoder = "libx264-not-in-this-build";
    require_video_encoder(missing);
    FAIL() << "a missing encoder was found";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("libx264-not-in-this-build"), std::string::npos)
        << e.what();
  }
}

}  // namespace
}  // namespace corvane
