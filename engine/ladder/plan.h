// Planning the ladder from plain values: which renditions, at what size and
// bitrate, and where each one's media playlist goes. No FFmpeg, no files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "product/output_layout.h"
#include "product/settings.h"

namespace corvane {

// The shape of a picture's samples, width over height, in lowest terms; 0/1
// leaves it unsaid, which players take for square.
struct sample_aspect {
  std::int32_t num = 0;
  std::int32_t den = 1;

  bool operator==(const sample_aspect&) const = default;
};

// One rendition of the ladder. Planning sets the name, size, video bitrate and
// sample aspect ratio; the rest is measured once the rendition is written, for
// the master playlist.
struct rendition_entry {
  std::string name;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t bitrate = 0;             // asked of the H.264 encoder, bit/s
  std::int64_t peak_bit_rate = 0;       // BANDWIDTH: see measure_bit_rates
  std::int64_t average_bit_rate = 0;    // AVERAGE-BANDWIDTH
  std::string codecs{};                 // CODECS, left out when empty
  double frame_rate = 0;                // FRAME-RATE, left out when 0
  sample_aspect sample_aspect_ratio{};  // shows width x height at the source's display aspect
};

// The default arguments of hls_encoder: every name of ladder_table, and their
// bitrates, in its order.
std::vector<std::string> default_resolution();
std::vector<std::int32_t> default_bitrates();

// Fills `bitrates` up to the length of `names`: each missing position takes the
// table's value for the name there, or unknown_name_bitrate.
// A longer list is left as it is.
std::vector<std::int32_t> complete_bitrates(const std::vector<std::string>& names,
                                            std::vector<std::int32_t> bitrates);

// The sample aspect ratio that shows a `width` x `height` picture at the display
// aspect ratio `display_width`:`display_height`, in terms of at most 65535 (what
// H.264 can carry); 0/1 when square samples come within
// square_sample_tolerance of it, or when either size is unknown (0 or less).
sample_aspect sample_aspect_for(int width, int height, std::int64_t display_width,
                                std::int64_t display_height);

// One entry per known name, in the order of `names`, each shaped like the
// source as it is shown: its display aspect ratio, `display_width` to
// `display_height` (a size, or any pair in the same ratio). Landscape and
// square sources get the long side as width, portrait ones the short side, and
// each entry the sample aspect ratio that shows it at the display aspect ratio.
// Unknown names, and repeats of a name already planned, are skipped but still
// take their place when the bitrates are completed. Throws
// std::invalid_argument, naming the position in `bitrates` and the value, when
// a planned rendition's bitrate is not above zero.
std::vector<rendition_entry> plan_ladder(const std::vector<std::string>& names,
                                         std::vector<std::int32_t> bitrates, int display_width,
                                         int display_height);

// The directory part of `path` including its last "/", or "" when it has none.
std::string directory_of(const std::string& path);

// Where a rendition's media playlist goes: beside the master playlist.
std::string media_playlist_path(const std::string& master_path, const std::string& name,
                                const output_layout& layout);

}  // namespace corvane
