#include "ladder/plan.h"

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace corvane {
namespace {

struct rendition_size {
  const char* name;
  int short_side;
  int long_side;
};

constexpr rendition_size known_sizes[] = {
    {"1080p", 1080, 1920},
    {"720p", 720, 1280},
    {"480p", 480, 854},
    {"360p", 360, 640},
};

std::optional<rendition_size> size_of(const std::string& name) {
  for (const auto& size : known_sizes)
    if (name == size.name) return size;
  return std::nullopt;
}

}  // namespace

std::map<std::string, std::int32_t> default_bitrates() {
  return {{"1080p", 5000000}, {"720p", 2500000}, {"480p", 1000000}, {"360p", 400000}};
}

std::vector<std::int32_t> complete_bitrates(const std::vector<std::string>& names,
                                            std::vector<std::int32_t> bitrates) {
  const auto table = default_bitrates();
  while (bitrates.size() < names.size()) {
    const auto found = table.find(names[bitrates.size()]);
    bitrates.push_back(found != table.end() ? found->second : 1000000);
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
    const auto size = size_of(names[i]);
    if (!size) continue;
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
