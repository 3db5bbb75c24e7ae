// The versions of the FFmpeg libraries corvane runs with, for the record a
// ladder keeps of what made it.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace corvane {

// ("ffmpeg", FFmpeg's own version string), then ("libavformat", "59.27.100")
// and the like for each library corvane uses, as loaded at run time.
std::vector<std::pair<std::string, std::string>> ffmpeg_versions();

}  // namespace corvane
