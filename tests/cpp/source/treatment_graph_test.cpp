#include "source/treatment_graph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace corvane {
namespace {

// Grey pictures of `width` x `height`, stamped 1/25 s apart in video_time_base,
// through a filter of `treatment`: the treated pictures' sizes and timestamps.
std::vector<std::string> treat_pictures(picture_treatment treatment, int width, int height,
                                        int count, bool marked_interlaced = false) {
  treatment_graph filter(treatment);
  filter.prepare(width, height, AV_PIX_FMT_YUV420P, {1, 1});
  std::vector<std::string> seen;
  const auto take = [&](AVFrame* treated) {
    seen.push_back(std::to_string(treated->width) + "x" + std::to_string(treated->height) + "@" +
                   std::to_string(treated->pts));
  };
  for (int i = 0; i < count; ++i) {
    frame_ptr picture = alloc_frame();
    picture->width = width;
    picture->height = height;
    picture->format = AV_PIX_FMT_YUV420P;
    EXPECT_GE(av_frame_get_buffer(picture.get(), 0), 0);
    for (int plane = 0; plane < 3; ++plane)
      std::fill_n(picture->data[plane], picture->linesize[plane] * (plane ? height / 2 : height),
                  std::uint8_t(128));
    picture->pts = std::int64_t(i) * 3600;
    if (marked_interlaced) {
#ifdef AV_FRAME_FLAG_INTERLACED
      picture->flags |= AV_FRAME_FLAG_INTERLACED;
#else
      picture->interlaced_frame = 1;
#endif
    }
    filter.treat(picture.get(), take);
  }
  filter.drain(take);
  return seen;
}

TEST(TreatmentGraph, TurnsEachPictureOnceAtItsOwnTime) {
  picture_treatment turned;
  turned.turn = {1, false};
  EXPECT_EQ(treat_pictures(turned, 64, 36, 3),
            (std::vector<std::string>{"36x64@0", "36x64@3600", "36x64@7200"}));
}

TEST(TreatmentGraph, DeinterlacesOnePicturePerFrameAtItsOwnTime) {
  picture_treatment interlaced;
  interlaced.deinterlace = deinterlacing::top_field_first;
  EXPECT_EQ(treat_pictures(interlaced, 64, 36, 3),
            (std::vector<std::string>{"64x36@0", "64x36@3600", "64x36@7200"}));
  // A source that says nothing, whose pictures say interlaced.
  EXPECT_EQ(treat_pictures({}, 64, 36, 3, true),
            (std::vector<std::string>{"64x36@0", "64x36@3600", "64x36@7200"}));
}

TEST(TreatmentGraph, ToneMapsToEightBitsAndLeavesOthersAlone) {
  picture_treatment hdr;
  hdr.transfer = AVCOL_TRC_SMPTE2084;
  treatment_graph filter(hdr);
  filter.prepare(64, 36, AV_PIX_FMT_YUV420P10LE, {1, 1});
  EXPECT_EQ(filter.output_format(), AV_PIX_FMT_YUV420P);
  // Nothing to do: no graph, and each picture handed on as it is.
  EXPECT_EQ(treat_pictures({}, 64, 36, 2), (std::vector<std::string>{"64x36@0", "64x36@3600"}));
}

}  // namespace
}  // namespace corvane
