// What the source stage tells the renditions about its pictures, for them to
// write into their streams' headers: how the samples turn into colours, and the
// shape of a sample.
#pragma once

#include "ffmpeg/headers.h"

namespace corvane {

// The colour description a video stream carries (H.264's VUI): how players
// turn its samples into colours. Unspecified parts are left unsaid, and players
// guess them.
struct colour_description {
  AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
  AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
  AVColorSpace matrix = AVCOL_SPC_UNSPECIFIED;
  AVColorRange range = AVCOL_RANGE_UNSPECIFIED;

  bool operator==(const colour_description&) const = default;
};

// What the stream's headers say about how its pictures are shown.
struct picture_signal {
  colour_description colour;
  // The shape of a sample (width over height); 0/1 leaves it unsaid: square.
  AVRational sample_aspect_ratio{0, 1};
};

}  // namespace corvane
