// Checks of the call's files before any work starts.
#pragma once

#include <string>

namespace corvane {

// Throws av_error unless the directory `output` is to be written in exists.
void require_output_directory(const std::string& output);

// Throws av_error when the key info file is known to be missing or unreadable.
void require_key_info_file(const std::string& key_info_file);

}  // namespace corvane
