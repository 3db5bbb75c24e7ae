#include "ladder/plan.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

namespace corvane {
namespace {

const rung* rung_of(const std::string& name) {
  for (const rung& known : ladder_table)
    if (name == known.name) return &known;
  return nullptr;
}

// The fraction nearest num/den (both above 0) whose terms are at most
// `limit`: num/den itself in lowest terms when they fit, else the last
// continued-fraction convergent that does.
sample_aspect bounded_fraction(std::int64_t num, std::int64_t den, std::int64_t limit) {
  const std::int64_t divisor = std::gcd(num, den);
  num /= divisor;
  den /= divisor;
  if (num <= limit && den <= limit) return {std::int32_t(num), std::int32_t(den)};
  // Convergents h/k of num/den: h(n) = a(n) h(n-1) + h(n-2), likewise k.
  std::int64_t h_prev = 1, h = num / den, k_prev = 0, k = 1;
  std::int64_t rest_num = den, rest_den = num % den;
  while (rest_den != 0) {
    const std::int64_t a = rest_num / rest_den;
    if (a > limit) break;  // k would pass the limit, and a * h could overflow
    const std::int64_t h_next = a * h + h_prev, k_next = a * k + k_prev;
    if (h_next > limit || k_next > limit) break;
    h_prev = h, h = h_next, k_prev = k, k = k_next;
    const std::int64_t remainder = rest_num % rest_den;
    rest_num = rest_den;
    rest_den = remainder;
  }
  if (h == 0 || h > limit) return {};  // nothing that small comes near: leave it unsaid
  return {std::int32_t(h), std::int32_t(k)};
}

}  // namespace

sample_aspect sample_aspect_for(int width, int height, std::int64_t display_width,
                                std::int64_t display_height) {
  if (width <= 0 || height <= 0 || display_width <= 0 || display_height <= 0) return {};
  // sample aspect = display aspect / picture aspect; the products fit in 64
  // bits for any int display terms and sizes.
  const std::int64_t num = display_width * height;
  const std::int64_t den = display_height * width;
  if (std::abs(double(num) / double(den) - 1) < square_sample_tolerance) return {};
  return bounded_fraction(num, den, 65535);
}

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
                                         std::vector<std::int32_t> bitrates, int display_width,
                                         int display_height) {
  bitrates = complete_bitrates(names, std::move(bitrates));
  const bool portrait = display_width < display_height;
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
    rendition_entry entry{names[i], width, height, bitrates[i]};
    entry.sample_aspect_ratio = sample_aspect_for(width, height, display_width, display_height);
    plan.push_back(std::move(entry));
  }
  return plan;
}

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string media_playlist_path(const std::string& master_path, const std::string& name,
                                const output_layout& layout) {
  return directory_of(master_path) + playlist_name(layout, name);
}

}  // namespace corvane
