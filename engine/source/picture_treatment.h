// What the source's pictures need before any rendition scales them: turned as
// the stream's display matrix says, tone-mapped from HDR to SDR, deinterlaced.
// It is decided here once per call from the video stream, and done by one
// filter graph in the source stage (treatment_graph.h), so each picture is
// treated once for every rendition.
#pragma once

#include <cstdint>
#include <string>

#include "feed/picture_signal.h"
#include "ffmpeg/headers.h"

namespace corvane {

// How a picture is turned for display: flipped left to right first when
// `mirrored`, then turned clockwise by `quarter_turns` quarter turns (0 to 3).
struct orientation {
  int quarter_turns = 0;
  bool mirrored = false;

  bool upright() const { return quarter_turns == 0 && !mirrored; }
  bool operator==(const orientation&) const = default;
};

// The orientation a display matrix asks for (FFmpeg's, as side data
// AV_PKT_DATA_DISPLAYMATRIX: 3x3, row-major, 16.16 fixed point for the 2x2
// part). A negative determinant means a mirror image; the rotation is rounded
// to the nearest quarter turn, as players that honour the matrix do. Null, or a
// matrix that shrinks a side to nothing, leaves the picture upright.
orientation orientation_of(const std::int32_t* matrix);

// The display matrix of a stream, or null when it has none.
const std::int32_t* display_matrix_of(const AVStream* stream);

enum class deinterlacing {
  none,
  top_field_first,  // the stream says it is interlaced: every picture
  bottom_field_first,
  marked_pictures,  // only the pictures the decoder marks interlaced, each by its own order
};

// What a video stream's pictures need.
struct picture_treatment {
  orientation turn;
  // AVCOL_TRC_SMPTE2084 (PQ) or AVCOL_TRC_ARIB_STD_B67 (HLG) for an HDR source,
  // tone-mapped to SDR BT.709; anything else is left as it is.
  AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
  colour_description source_colour;  // as the stream describes it
  deinterlacing deinterlace = deinterlacing::none;

  bool tone_maps() const;
  bool needed() const {
    return !turn.upright() || tone_maps() || deinterlace != deinterlacing::none;
  }
};

// What the stream's display matrix, transfer characteristic and field order
// say its pictures need.
picture_treatment treatment_for(const AVStream* video);

// The filter chain (FFmpeg filter graph text) that treats `width` x `height`
// pictures as `treatment` says: deinterlaced, then tone-mapped, then turned;
// "" when nothing is to be done. Pictures too small for the deinterlacer (under
// 3 columns or 4 lines) are not deinterlaced.
std::string treatment_chain(const picture_treatment& treatment, int width, int height);

// The colour description of the pictures the renditions' encoders get from a
// source described by `source` whose pictures reach the renditions' scalers in
// `format`: tone-mapped pictures are BT.709 throughout; the scalers turn RGB
// into BT.601 YUV and full-range "yuvj" formats into limited range; anything
// else keeps the source's description, unspecified parts included.
colour_description rendition_colour(const colour_description& source, AVPixelFormat format,
                                    bool tone_mapped);

// The display aspect ratio of `width` x `height` pictures with samples of
// `sample_aspect_ratio` (unknown counts as square), once turned; {0, 1} when
// the size is unknown.
AVRational display_aspect(int width, int height, AVRational sample_aspect_ratio, orientation turn);

}  // namespace corvane
