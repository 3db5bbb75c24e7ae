// Planning the ladder from plain values: which renditions, at what size and
// bitrate, and where each one's media playlist goes. No FFmpeg, no files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
  std::int32_t bitrate = 0;          // asked of the H.264 encoder, bit/s
  std::int64_t peak_bit_rate = 0;    // BANDWIDTH: see measure_bit_rates
  std::int64_t average_bit_rate = 0;  // AVERAGE-BANDWIDTH
  std::string codecs{};               // CODECS, left out when empty
  double frame_rate = 0;              // FRAME-RATE, left out when 0
  sample_aspect sample_aspect_ratio{};  // shows width x height at the source's display aspect
};

// One rung of the ladder: its name, its size (landscape: the long side is the
// width) and its video bitrate when the caller gives none.
struct rung {
  const char* name;
  int short_side;
  int long_side;
  std::int32_t default_bitrate;  // bit/s
};

// The four known renditions, in the default order, largest first. Every other
// list of names, sizes or bitrates is made from this one.
inline constexpr rung ladder_table[] = {
    {"1080p", 1080, 1920, 5000000},
    {"720p", 720, 1280, 2500000},
    {"480p", 480, 854, 1000000},
    {"360p", 360, 640, 400000},
};

// The video bitrate of a name outside the table, when the list is completed.
inline constexpr std::int32_t unknown_name_bitrate = 1000000;

// The default arguments of hls_encoder: every name of the table, and their
// bitrates, in the table's order.
std::vector<std::string> default_resolution();
std::vector<std::int32_t> default_bitrates();

// Fills `bitrates` up to the length of `names`: each missing position takes the
// table's value for the name there, or unknown_name_bitrate.
// A longer list is left as it is.
std::vector<std::int32_t> complete_bitrates(const std::vector<std::string>& names,
                                            std::vector<std::int32_t> bitrates);

// How far from square a sample may be and still be left unsaid: 1 %. Sizes
// are whole pixels, so a picture's shape misses its aspect ratio by a little:
// the 854x480 rendition is 16:9 within 0.08 %, and a source of 426x240 or
// 1366x768 is within 0.2 %. Saying such a sample aspect ratio would change
// nothing anyone can see (a 1 % stretch is 6 pixels across 640), while a ratio
// like 7680:7686 would mark the ladder for no purpose; 4:3 (33 %) and
// anamorphic sources (SAR 16:15, 32:27 and the like) are far outside it.
inline constexpr double square_sample_tolerance = 0.01;

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
                                         std::vector<std::int32_t> bitrates,
                                         int display_width, int display_height);

// The directory part of `path` including its last "/", or "" when it has none.
std::string directory_of(const std::string& path);

// Where a rendition's media playlist goes: beside the master playlist.
std::string media_playlist_path(const std::string& master_path, const std::string& name);

}  // namespace corvane
