// Planning the ladder from plain values: which renditions, at what size and
// bitrate, and where each one's media playlist goes. No FFmpeg, no files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvane {

// One rendition of the ladder. Planning sets the name, size and video bitrate;
// the rest is measured once the rendition is written, for the master playlist.
struct rendition_entry {
  std::string name;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t bitrate = 0;          // asked of the H.264 encoder, bit/s
  std::int64_t peak_bit_rate = 0;    // BANDWIDTH: see measure_bit_rates
  std::int64_t average_bit_rate = 0;  // AVERAGE-BANDWIDTH
  std::string codecs{};               // CODECS, left out when empty
  double frame_rate = 0;              // FRAME-RATE, left out when 0
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

// One entry per known name, in the order of `names`, each sized like the source:
// landscape and square sources get the long side as width, portrait ones the
// short side. Unknown names, and repeats of a name already planned, are skipped
// but still take their place when the bitrates are completed. Throws
// std::invalid_argument, naming the position in `bitrates` and the value, when
// a planned rendition's bitrate is not above zero.
std::vector<rendition_entry> plan_ladder(const std::vector<std::string>& names,
                                         std::vector<std::int32_t> bitrates,
                                         int source_width, int source_height);

// The directory part of `path` including its last "/", or "" when it has none.
std::string directory_of(const std::string& path);

// Where a rendition's media playlist goes: beside the master playlist.
std::string media_playlist_path(const std::string& master_path, const std::string& name);

}  // namespace corvane
