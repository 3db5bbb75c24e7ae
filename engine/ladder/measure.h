// The bit rates of a finished rendition, measured from what it wrote: its
// media playlist's segment durations and its segment files' sizes. Everything
// but measure_rendition works on plain values, so the sums are tested with tables.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "product/settings.h"

namespace corvane {

// A media playlist's target duration and its segments, in microseconds: the
// playlist's decimal seconds keep six decimals, further digits are dropped.
struct playlist_segment {
  std::int64_t duration_us = 0;
  std::string uri;
};
struct media_playlist {
  std::int64_t target_duration_us = 0;
  std::vector<playlist_segment> segments;
};

// Reads the EXT-X-TARGETDURATION and every segment (its EXTINF duration and
// the URI line after it) out of a media playlist's text. The target may be 0:
// the hls muxer rounds the longest segment's duration, and writes 0 for a
// rendition shorter than half a second. Throws std::runtime_error when the
// target duration is missing, or it or a segment's duration is not a decimal number.
media_playlist parse_media_playlist(std::string_view text);

// A segment as measured: how long it plays and how many bytes it takes.
struct segment_size {
  std::int64_t duration_us = 0;
  std::int64_t bytes = 0;
};

// Bit rates in bit/s, each rounded up to a whole bit.
struct bit_rates {
  std::int64_t peak = 0;
  std::int64_t average = 0;
};

// `peak`: the largest bit rate (bytes x 8 over duration) of any run of
// consecutive segments that lasts between half and one and a half times
// `target_duration_us`, both included. A rendition too short to hold such a
// run (a source shorter than half the target duration) is one run as a whole.
// `average`: every byte x 8 over the total duration. Segments that last no
// time at all are timed as `timeless_rendition_us`. Rates that would not fit in
// 64 bits are held at the largest that does. Throws std::runtime_error when
// there is no segment.
bit_rates measure_bit_rates(const std::vector<segment_size>& segments,
                            std::int64_t target_duration_us);

// Measures the rendition whose media playlist is at `playlist_path`: reads the
// playlist and the size of each segment file, named relative to the playlist's
// directory. Throws av_error when a file cannot be read, std::runtime_error as
// the two functions above do.
bit_rates measure_rendition(const std::string& playlist_path);

}  // namespace corvane
