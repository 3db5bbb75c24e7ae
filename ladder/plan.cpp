#include "ladder/plan.h"

#include <algorithm>
#include <stdexcept>

namespace corvane {
namespace {

const rung* rung_of(const std::string& name) {
  for (const rung& known : ladder_table)
    if (name == known.name) return &known;
  return nullptr;
}

}  // namespace

std::vector<std::string> default_resolution() {
  std::vector<std::string> names;
  for (const rung& known : ladder_table) names.emplace_back(known.name);
  return names;
}

std::vector<std::int32_t> default_bitrates() {
  std::vector<std::int32_t> bitrates;
  for (const rung& known : ladder_table) bitrates.push_back(known.default_bitrate);
  return bitrates;
}

std::vector<std::int32_t> complete_bitrates(const std::vector<std::string>& names,
                                            std::vector<std::int32_t> bitrates) {
  while (bitrates.size() < names.size()) {
    const rung* known = rung_of(names[bitrates.size()]);
    bitrates.push_back(known != nullptr ? known->default_bitrate : unknown_name_bitrate);
  }
  return bitrates;
}

std::vector<rendition_entry> plan_ladder(const std::vector<std::string>& names,
                                         std::vector<std::int32_t> bitrates,
                                         int source_width, int source_height) {
  bitrates = complete_bitrates(names, std::move(bitrates));
  const bool portrait = source_width < source_height;
  std::vector<rendition_entry> plan;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const rung* size = rung_of(names[i]);
    if (size == nullptr) continue;
    // Two renditions of one name would write the same files at the same time.
    const bool planned = std::any_of(plan.begin(), plan.end(),
                                     [&](const rendition_entry& e) { return e.name == names[i]; });
    if (planned) continue;
    if (bitrates[i] <= 0)
      throw std::invalid_argument("bitrate[" + std::to_string(i) + "] is " +
                                  std::to_string(bitrates[i]) + ", for " + names[i] +
                                  ": a bitrate must be above 0 bit/s");
    const int width = portrait ? size->short_side : size->long_side;
    const int height = portrait ? size->long_side : size->short_side;
    plan.push_back({names[i], width, height, bitrates[i]});
  }
  return plan;
}

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string media_playlist_path(const std::string& master_path, const std::string& name) {
  return directory_of(master_path) + name + ".m3u8";
}

}  // namespace corvane
