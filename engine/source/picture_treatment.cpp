#include "source/picture_treatment.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <string_view>
#include <utility>

#include "product/settings.h"

namespace corvane {
namespace {

bool is_hdr(AVColorTransferCharacteristic transfer) {
  return transfer == AVCOL_TRC_SMPTE2084 || transfer == AVCOL_TRC_ARIB_STD_B67;
}

// A colour property FFmpeg has no name for is treated as unspecified.
colour_description known_colour(const AVCodecParameters* parameters) {
  colour_description colour;
  if (av_color_primaries_name(parameters->color_primaries) != nullptr)
    colour.primaries = parameters->color_primaries;
  if (av_color_transfer_name(parameters->color_trc) != nullptr)
    colour.transfer = parameters->color_trc;
  if (av_color_space_name(parameters->color_space) != nullptr)
    colour.matrix = parameters->color_space;
  if (av_color_range_name(parameters->color_range) != nullptr)
    colour.range = parameters->color_range;
  return colour;
}

std::int32_t negated(std::int32_t value) { return value == INT32_MIN ? INT32_MAX : -value; }

std::string deinterlace_filter(deinterlacing deinterlace) {
  // One picture out for each picture in (send_frame), at the picture's own time.
  switch (deinterlace) {
    case deinterlacing::top_field_first:
      return "bwdif=mode=send_frame:parity=tff:deint=all";
    case deinterlacing::bottom_field_first:
      return "bwdif=mode=send_frame:parity=bff:deint=all";
    case deinterlacing::marked_pictures:
      return "bwdif=mode=send_frame:parity=auto:deint=interlaced";
    case deinterlacing::none:
      break;
  }
  return "";
}

// To linear light (with the source's own description, whatever its pictures
// say, and BT.2020 where it says nothing), to BT.709 primaries, the highlights
// compressed, then to BT.709's transfer, matrix and limited range in 8 bits.
std::string tone_map_filters(const picture_treatment& treatment) {
  const colour_description& source = treatment.source_colour;
  const int primaries =
      source.primaries == AVCOL_PRI_UNSPECIFIED ? AVCOL_PRI_BT2020 : source.primaries;
  const int matrix = source.matrix == AVCOL_SPC_UNSPECIFIED ? AVCOL_SPC_BT2020_NCL : source.matrix;
  const char* range = source.range == AVCOL_RANGE_JPEG ? "full" : "limited";
  char filters[512];
  std::snprintf(filters, sizeof filters,
                "zscale=tin=%d:pin=%d:min=%d:rin=%s:t=linear:npl=%g,format=gbrpf32le,"
                "zscale=p=bt709,tonemap=tonemap=%s:desat=0:peak=%g,"
                "zscale=t=bt709:m=bt709:r=limited,format=yuv420p",
                int(treatment.transfer), primaries, matrix, range, hdr_reference_white,
                tone_map_operator, hdr_highlight_peak / hdr_reference_white);
  return filters;
}

std::string turn_filters(orientation turn) {
  static constexpr const char* upright[] = {"", "transpose=clock", "hflip,vflip",
                                            "transpose=cclock"};
  static constexpr const char* mirrored[] = {"hflip", "transpose=clock_flip", "vflip",
                                             "transpose=cclock_flip"};
  const int turns = turn.quarter_turns & 3;
  return (turn.mirrored ? mirrored : upright)[turns];
}

bool is_full_range_format(AVPixelFormat format) {
  const char* name = av_get_pix_fmt_name(format);
  return name != nullptr && std::string_view(name).starts_with("yuvj");
}

}  // namespace

orientation orientation_of(const std::int32_t* matrix) {
  if (matrix == nullptr) return {};
  const double determinant =
      double(matrix[0]) * double(matrix[4]) - double(matrix[1]) * double(matrix[3]);
  if (determinant == 0) return {};
  orientation turn;
  turn.mirrored = determinant < 0;
  // A mirror image is the picture flipped left to right, then rotated: the
  // rotation is that of the matrix with its first row negated.
  std::int32_t rotation[9];
  for (int i = 0; i < 9; ++i) rotation[i] = matrix[i];
  if (turn.mirrored) {
    rotation[0] = negated(rotation[0]);
    rotation[1] = negated(rotation[1]);
  }
  // Counterclockwise degrees; NaN when a side shrinks to nothing.
  const double degrees = av_display_rotation_get(rotation);
  if (!std::isfinite(degrees)) return {};
  const long quarters = std::lround(-degrees / 90);
  turn.quarter_turns = int(((quarters % 4) + 4) % 4);
  return turn;
}

const std::int32_t* display_matrix_of(const AVStream* stream) {
  constexpr std::size_t matrix_size = 9 * sizeof(std::int32_t);
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 31, 100)
  // FFmpeg 6.1 moved a stream's side data into its codec parameters.
  const AVPacketSideData* side_data =
      av_packet_side_data_get(stream->codecpar->coded_side_data,
                              stream->codecpar->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
  if (side_data == nullptr || side_data->size < matrix_size) return nullptr;
  return reinterpret_cast<const std::int32_t*>(side_data->data);
#else
  std::size_t size = 0;
  const std::uint8_t* data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (data == nullptr || size < matrix_size) return nullptr;
  return reinterpret_cast<const std::int32_t*>(data);
#endif
}

bool picture_treatment::tone_maps() const { return is_hdr(transfer); }

picture_treatment treatment_for(const AVStream* video) {
  const AVCodecParameters* parameters = video->codecpar;
  picture_treatment treatment;
  treatment.turn = orientation_of(display_matrix_of(video));
  treatment.source_colour = known_colour(parameters);
  if (is_hdr(treatment.source_colour.transfer))
    treatment.transfer = treatment.source_colour.transfer;
  switch (parameters->field_order) {
    case AV_FIELD_TT:  // the top field shown first
    case AV_FIELD_BT:
      treatment.deinterlace = deinterlacing::top_field_first;
      break;
    case AV_FIELD_BB:
    case AV_FIELD_TB:
      treatment.deinterlace = deinterlacing::bottom_field_first;
      break;
    default:
      break;
  }
  return treatment;
}

std::string treatment_chain(const picture_treatment& treatment, int width, int height) {
  std::string chain;
  const auto append = [&](const std::string& filters) {
    if (filters.empty()) return;
    chain += (chain.empty() ? "" : ",") + filters;
  };
  // Fields are woven from the pictures as decoded, before anything moves them;
  // the turn comes last, on the 8-bit pictures the tone-mapper makes.
  if (width >= 3 && height >= 4) append(deinterlace_filter(treatment.deinterlace));
  if (treatment.tone_maps()) append(tone_map_filters(treatment));
  append(turn_filters(treatment.turn));
  return chain;
}

colour_description rendition_colour(const colour_description& source, AVPixelFormat format,
                                    bool tone_mapped) {
  if (tone_mapped) return {AVCOL_PRI_BT709, AVCOL_TRC_BT709, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG};
  colour_description colour = source;
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
  const bool rgb = descriptor != nullptr &&
                   (descriptor->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) != 0;
  if (rgb) {
    // The scalers' default coefficients: BT.601, limited range.
    colour.matrix = AVCOL_SPC_SMPTE170M;
    colour.range = AVCOL_RANGE_MPEG;
  } else if (is_full_range_format(format)) {
    colour.range = AVCOL_RANGE_MPEG;
  }
  return colour;
}

AVRational display_aspect(int width, int height, AVRational sample_aspect_ratio, orientation turn) {
  if (width <= 0 || height <= 0) return {0, 1};
  if (sample_aspect_ratio.num <= 0 || sample_aspect_ratio.den <= 0) sample_aspect_ratio = {1, 1};
  AVRational aspect{0, 1};
  av_reduce(&aspect.num, &aspect.den, std::int64_t(width) * sample_aspect_ratio.num,
            std::int64_t(height) * sample_aspect_ratio.den, INT_MAX);
  if (turn.quarter_turns % 2 != 0) std::swap(aspect.num, aspect.den);
  return aspect;
}

}  // namespace corvane
