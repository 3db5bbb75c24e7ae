// The HLS key info file, as FFmpeg's hls muxer reads it, and the fresh IVs
// corvane serves in place of a missing IV line.
#pragma once

#include <string>

#include "ffmpeg/headers.h"

namespace corvane {

// The first three lines of a key info file as FFmpeg's hls muxer reads them:
// a line ends at "\n", "\r", "\r\n", a NUL byte or the end of the file, and
// only its first 4096 characters count. An empty `iv` means there is no IV line.
struct key_info_lines {
  std::string key_uri;
  std::string key_file;
  std::string iv;
};

// Reads the key info file at `url` (a path or a URL FFmpeg can open); throws
// av_error naming it when it cannot be opened or read.
key_info_lines read_key_info(const std::string& url, const AVIOInterruptCB* interrupt = nullptr);

// 16 bytes from the operating system's random source, as 32 hex digits.
// Throws av_error when there is none.
std::string random_iv();

}  // namespace corvane
