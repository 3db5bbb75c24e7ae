#include "product/output_layout.h"

#include <stdexcept>

namespace corvane {

std::string playlist_name(const output_layout& layout, const std::string& rendition) {
  return rendition + layout.playlist_extension;
}

std::string playlist_stem(const std::string& playlist_path) {
  const auto dot = playlist_path.rfind('.');
  return dot == std::string::npos ? playlist_path : playlist_path.substr(0, dot);
}

std::string segment_template(const output_layout& layout, const std::string& stem) {
  for (std::size_t i = 0; i < stem.size(); ++i) {
    if (stem[i] != '%') continue;
    if (i + 1 < stem.size() && stem[i + 1] == '%') {
      ++i;  // the muxer copies "%%" as it stands
      continue;
    }
    std::size_t after = i + 1;
    while (after < stem.size() && stem[after] >= '0' && stem[after] <= '9') ++after;
    const bool numbered = after < stem.size() && stem[after] == 'd';
    const bool variant = i + 1 < stem.size() && (stem[i + 1] == 'v' || stem[i + 1] == 'V');
    if (numbered || variant)
      throw std::invalid_argument("the HLS muxer would read '" + stem.substr(i, after - i + 1) +
                                  "' in '" + stem + "' as a pattern; choose a path without it");
  }
  return stem + "_%0" + std::to_string(layout.segment_digits) + "d" + layout.segment_extension;
}

bool is_segment_name(const output_layout& layout, const std::string& file,
                     const std::string& rendition) {
  const std::string prefix = rendition + "_";
  const std::string suffix = layout.segment_extension;
  if (file.size() < prefix.size() + std::size_t(layout.segment_digits) + suffix.size() ||
      !file.starts_with(prefix) || !file.ends_with(suffix))
    return false;
  const std::string number =
      file.substr(prefix.size(), file.size() - prefix.size() - suffix.size());
  return number.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace corvane
