// The files one rendition's HLS output writes, seen through the muxer's own
// io_open and io_close2 hooks: which ones it wrote, and the first write that
// failed, which the muxer itself only logs.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ffmpeg/headers.h"
#include "rendition/key_info.h"

namespace corvane {

// Kept by the rendition for as long as its output lives; the output's `opaque`
// points at it. Only the thread that writes the output touches it.
struct output_files {
  // Every file opened for writing, in order: segments, and each playlist
  // write (a temporary name the muxer then renames ends in ".tmp").
  std::vector<std::string> written;
  // The error code of the first write to one of them that failed, or 0.
  int first_failure = 0;
  // The key info file the muxer was given, as it names it when it opens it.
  std::string key_info_path;
  // That file, when it has no IV line, as read when the output was made: the
  // muxer, which reads it again as each segment starts, is served these lines
  // with a fresh random IV as the third. Nothing: the file is read as it is.
  std::optional<key_info_lines> fresh_iv_key_info;
};

// Hooks `output`'s opening and closing of files to `files`.
void watch_output_files(AVFormatContext* output, output_files& files);

// The first failed write of an output hooked by watch_output_files, or 0 (an
// output not hooked has none recorded).
int write_failure(const AVFormatContext* output);

// Removes every file in `files.written`, and the name each temporary one was
// renamed to; a file already gone is no failure.
void remove_written_files(const output_files& files);

}  // namespace corvane
