// Checks of the call's files before any work starts.
#pragma once

#include <string>
#include <vector>

#include "product/output_layout.h"

namespace corvane {

// Throws av_error unless the directory `output` is to be written in exists.
void require_output_directory(const std::string& output);

// Throws av_error when the key info file is known to be missing or unreadable.
void require_key_info_file(const std::string& key_info_file);

// Throws std::invalid_argument when the master playlist `output` would be a
// file that a rendition named in `names` writes beside it in `layout`: its
// media playlist (NAME.m3u8) or one of its segments (NAME_000.ts, ...). The
// master, written last, would replace it. The master may be named bare, from
// the working folder, or by any relative or absolute path, and need not exist
// yet; a link is followed to the file it names.
void require_master_apart(const std::string& output, const std::vector<std::string>& names,
                          const output_layout& layout);

}  // namespace corvane
