#include "source/picture_treatment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace corvane {

void PrintTo(const orientation& turn, std::ostream* os) {
  *os << turn.quarter_turns << " quarter turns" << (turn.mirrored ? ", mirrored" : "");
}

namespace {

constexpr std::int32_t one = 1 << 16;  // 1.0 in 16.16

// A display matrix with [a b; c d] as its turning part, as a file stores it.
struct display_matrix {
  std::int32_t values[9];
  display_matrix(int a, int b, int c, int d)
      : values{a * one, b * one, 0, c * one, d * one, 0, 0, 0, 1 << 30} {}
};

TEST(OrientationOf, QuarterTurnsAndMirrorsOfTheMatrix) {
  struct {
    int a, b, c, d;
    orientation turn;
    const char* filters;
  } cases[] = {
      {1, 0, 0, 1, {0, false}, ""},
      {0, 1, -1, 0, {1, false}, "transpose=clock"},  // what a phone held upright writes
      {-1, 0, 0, -1, {2, false}, "hflip,vflip"},
      {0, -1, 1, 0, {3, false}, "transpose=cclock"},
      {-1, 0, 0, 1, {0, true}, "hflip"},
      {0, -1, -1, 0, {1, true}, "transpose=clock_flip"},
      {1, 0, 0, -1, {2, true}, "vflip"},
      {0, 1, 1, 0, {3, true}, "transpose=cclock_flip"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.a) + " " + std::to_string(c.b) + " " + std::to_string(c.c) + " " +
                 std::to_string(c.d));
    const display_matrix matrix(c.a, c.b, c.c, c.d);
    EXPECT_EQ(orientation_of(matrix.values), c.turn);
    picture_treatment treatment;
    treatment.turn = orientation_of(matrix.values);
    EXPECT_EQ(treatment_chain(treatment, 320, 180), c.filters);
    EXPECT_EQ(treatment.needed(), c.filters[0] != '\0');
  }
}

TEST(OrientationOf, RoundsToTheNearestQuarterTurnAndIgnoresScale) {
  const std::int32_t nearly_upright[9] = {one, one / 20, 0, -one / 20, one, 0, 0, 0, 1 << 30};
  const std::int32_t stretched_turn[9] = {0, 2 * one, 0, -one, 0, 0, 0, 0, 1 << 30};
  const std::int32_t flat[9] = {};
  const std::int32_t extreme[9] = {INT32_MIN, 0, 0, 0, INT32_MAX, 0, 0, 0, 1 << 30};
  EXPECT_EQ(orientation_of(nearly_upright), (orientation{0, false}));
  EXPECT_EQ(orientation_of(stretched_turn), (orientation{1, false}));
  EXPECT_EQ(orientation_of(nullptr), orientation{});
  EXPECT_EQ(orientation_of(flat), orientation{});
  EXPECT_EQ(orientation_of(extreme), (orientation{0, true}));
}

TEST(TreatmentChain, DeinterlacesThenToneMapsThenTurns) {
  picture_treatment treatment;
  treatment.deinterlace = deinterlacing::top_field_first;
  treatment.transfer = AVCOL_TRC_SMPTE2084;
  treatment.turn = {1, false};
  const std::string chain = treatment_chain(treatment, 1920, 1080);
  const auto deinterlace = chain.find("bwdif=mode=send_frame:parity=tff:deint=all");
  const auto tone_map = chain.find("tonemap=tonemap=mobius");
  const auto turn = chain.find("transpose=clock");
  ASSERT_NE(deinterlace, std::string::npos) << chain;
  ASSERT_NE(tone_map, std::string::npos) << chain;
  ASSERT_NE(turn, std::string::npos) << chain;
  EXPECT_LT(deinterlace, tone_map);
  EXPECT_LT(tone_map, turn);
  // Unsaid primaries and matrix of an HDR source are BT.2020's; PQ is 16.
  EXPECT_NE(chain.find("zscale=tin=16:pin=9:min=9:rin=limited:t=linear:npl=203"), std::string::npos)
      << chain;
  EXPECT_NE(chain.find("zscale=t=bt709:m=bt709:r=limited,format=yuv420p"), std::string::npos)
      << chain;

  // Pictures too small for the deinterlacer are left as they are.
  treatment.transfer = AVCOL_TRC_UNSPECIFIED;
  treatment.turn = {};
  EXPECT_EQ(treatment_chain(treatment, 2, 2), "");
  treatment.deinterlace = deinterlacing::bottom_field_first;
  EXPECT_EQ(treatment_chain(treatment, 3, 4), "bwdif=mode=send_frame:parity=bff:deint=all");
  treatment.deinterlace = deinterlacing::marked_pictures;
  EXPECT_EQ(treatment_chain(treatment, 3, 4), "bwdif=mode=send_frame:parity=auto:deint=interlaced");
}

TEST(TreatmentChain, HlgKeepsTheSourcesOwnDescription) {
  picture_treatment treatment;
  treatment.transfer = AVCOL_TRC_ARIB_STD_B67;
  treatment.source_colour = {AVCOL_PRI_SMPTE432, AVCOL_TRC_ARIB_STD_B67, AVCOL_SPC_BT709,
                             AVCOL_RANGE_JPEG};
  EXPECT_TRUE(treatment.tone_maps());
  EXPECT_NE(treatment_chain(treatment, 64, 64).find("zscale=tin=18:pin=12:min=1:rin=full"),
            std::string::npos);
  treatment.transfer = AVCOL_TRC_BT709;  // SDR: nothing to do
  EXPECT_FALSE(treatment.needed());
  EXPECT_EQ(treatment_chain(treatment, 64, 64), "");
}

TEST(RenditionColour, WhatTheScalersAndTheToneMapperMake) {
  const colour_description untagged{};
  const colour_description bt601{AVCOL_PRI_BT470BG, AVCOL_TRC_SMPTE170M, AVCOL_SPC_BT470BG,
                                 AVCOL_RANGE_MPEG};
  const colour_description bt709{AVCOL_PRI_BT709, AVCOL_TRC_BT709, AVCOL_SPC_BT709,
                                 AVCOL_RANGE_MPEG};
  // YUV keeps its description, unsaid parts included.
  EXPECT_EQ(rendition_colour(untagged, AV_PIX_FMT_YUV420P, false), untagged);
  EXPECT_EQ(rendition_colour(bt601, AV_PIX_FMT_YUV420P10LE, false), bt601);
  const colour_description full{AVCOL_PRI_BT709, AVCOL_TRC_BT709, AVCOL_SPC_BT709,
                                AVCOL_RANGE_JPEG};
  EXPECT_EQ(rendition_colour(full, AV_PIX_FMT_YUV420P, false), full);
  // The scalers make limited range of "yuvj" pictures, and BT.601 of RGB.
  EXPECT_EQ(rendition_colour(full, AV_PIX_FMT_YUVJ420P, false), bt709);
  const colour_description rgb{AVCOL_PRI_BT709, AVCOL_TRC_IEC61966_2_1, AVCOL_SPC_RGB,
                               AVCOL_RANGE_JPEG};
  EXPECT_EQ(rendition_colour(rgb, AV_PIX_FMT_GBRP, false),
            (colour_description{AVCOL_PRI_BT709, AVCOL_TRC_IEC61966_2_1, AVCOL_SPC_SMPTE170M,
                                AVCOL_RANGE_MPEG}));
  EXPECT_EQ(rendition_colour(untagged, AV_PIX_FMT_PAL8, false).matrix, AVCOL_SPC_SMPTE170M);
  // Tone-mapped pictures are BT.709 throughout, whatever the source said.
  EXPECT_EQ(rendition_colour(untagged, AV_PIX_FMT_YUV420P, true), bt709);
}

TEST(DisplayAspect, CountsTheSampleShapeAndTheTurn) {
  const auto aspect = [](int w, int h, AVRational sar, orientation turn) {
    const AVRational a = display_aspect(w, h, sar, turn);
    return std::to_string(a.num) + ":" + std::to_string(a.den);
  };
  EXPECT_EQ(aspect(1920, 1080, {0, 1}, {}), "16:9");
  EXPECT_EQ(aspect(1920, 1080, {1, 1}, {1, false}), "9:16");
  EXPECT_EQ(aspect(720, 576, {16, 15}, {}), "4:3");
  EXPECT_EQ(aspect(720, 480, {32, 27}, {}), "16:9");
  EXPECT_EQ(aspect(720, 576, {16, 15}, {3, true}), "3:4");
  EXPECT_EQ(aspect(1440, 1080, {4, 3}, {2, false}), "16:9");
  EXPECT_EQ(aspect(0, 1080, {1, 1}, {}), "0:1");
  EXPECT_EQ(aspect(640, 480, {-3, 0}, {}), "4:3");  // nonsense counts as square
}

}  // namespace
}  // namespace corvane
