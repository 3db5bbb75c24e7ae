// How a rendition's files are named and what the playlists say of them, as
// data: the muxer and its segment type, the extensions, how segments are
// numbered and the playlists' HLS version. The code that sets up the muxer,
// checks names before a call and writes the master playlist walks this
// record; a new container is a new record.
#pragma once

#include <string>

namespace corvane {

struct output_layout {
  const char* muxer;               // FFmpeg's muxer: "hls"
  const char* segment_type;        // its hls_segment_type option: "mpegts"
  const char* playlist_extension;  // ".m3u8"
  const char* segment_extension;   // ".ts"
  int segment_digits;              // segments are NAME_000.ts, NAME_001.ts, ...
  int hls_version;                 // the master playlist's EXT-X-VERSION
};

// MPEG-TS segments: version 3 is the oldest that every player takes and that
// allows decimal EXTINF durations.
inline constexpr output_layout mpegts_layout{"hls", "mpegts", ".m3u8", ".ts", 3, 3};

// A rendition's media playlist file name: "720p.m3u8".
std::string playlist_name(const output_layout& layout, const std::string& rendition);

// A media playlist path cut before its last "." (the whole path without one).
std::string playlist_stem(const std::string& playlist_path);

// The muxer's segment file pattern: the stem, "_", then the number ("%03d")
// and the segment extension. The hls muxer has no escape for "%": it numbers
// every "%d", "%03d" and the like in the whole path (and keeps "%%" as two
// characters), and puts a variant index in place of "%v". A stem holding such a
// sequence would put segments in the wrong place, so it is refused with
// std::invalid_argument.
std::string segment_template(const output_layout& layout, const std::string& stem);

// Whether `file` is a segment name of the rendition `rendition`: NAME_, then the
// segment number (at least segment_digits digits), then the segment extension.
bool is_segment_name(const output_layout& layout, const std::string& file,
                     const std::string& rendition);

}  // namespace corvane
