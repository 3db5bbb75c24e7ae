// A look at the source before any work starts.
#pragma once

#include <string>

namespace corvane {

struct source_size {
  int width = 0;
  int height = 0;
};

// The stored frame size of the source's best decodable video stream. Throws
// av_error when the source cannot be opened or read, or lacks a decodable
// video or audio stream: no rendition could be made of it.
source_size probe_source(const std::string& input);

// Throws av_error unless the directory `output` is to be written in exists.
void require_output_directory(const std::string& output);

// Throws av_error when the key info file is known to be missing or unreadable.
void require_key_info_file(const std::string& key_info_file);

}  // namespace corvane
