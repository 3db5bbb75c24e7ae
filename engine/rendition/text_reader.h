// A reader of text held in memory, in the shape of an FFmpeg AVIOContext:
// what the muxer is served in place of a key info file (see output_files.h).
#pragma once

#include <memory>
#include <string>

#include "ffmpeg/headers.h"

namespace corvane {

// Releases a reader made by open_text_reader; null does nothing.
void close_text_reader(AVIOContext* reader);

struct text_reader_closer {
  void operator()(AVIOContext* p) const { close_text_reader(p); }
};
using text_reader_ptr = std::unique_ptr<AVIOContext, text_reader_closer>;

// A reader of `text`: what an io_open hook hands a muxer in place of a file.
// Throws std::bad_alloc.
text_reader_ptr open_text_reader(std::string text);

// Whether `file` was made by open_text_reader, and must be released by
// close_text_reader rather than avio_close.
bool is_text_reader(const AVIOContext* file);

}  // namespace corvane
