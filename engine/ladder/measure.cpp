#include "ladder/measure.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <stdexcept>

#include "ffmpeg/error.h"
#include "ffmpeg/headers.h"
#include "ladder/plan.h"

namespace corvane {
namespace {

// Sums of bytes and microseconds over a whole rendition, and bytes x 8 x 10^6
// before the division, stay exact in 128 bits (GCC and Clang both have them).
using wide = unsigned __int128;

constexpr std::int64_t microseconds_per_second = 1000000;
// Twelve digits of whole seconds: over 30000 years, far from overflowing.
constexpr std::size_t max_second_digits = 12;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "6", "6.000000" or "5.96": seconds as a decimal number, in microseconds.
std::optional<std::int64_t> microseconds_of(std::string_view text) {
  const auto dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  const std::string_view fraction =
      dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  if (whole.empty() || whole.size() > max_second_digits ||
      !std::all_of(whole.begin(), whole.end(), is_digit) ||
      !std::all_of(fraction.begin(), fraction.end(), is_digit))
    return std::nullopt;
  std::int64_t us = 0;
  for (const char c : whole) us = us * 10 + (c - '0');
  std::int64_t scale = microseconds_per_second;
  for (const char c : fraction.substr(0, 6)) {
    scale /= 10;
    us = us * 10 + (c - '0');
  }
  return us * scale;
}

std::string_view after_tag(std::string_view line, std::string_view tag) {
  return line.substr(tag.size());
}

// bytes x 8 over `us` microseconds, in bit/s, rounded up.
std::int64_t rate_rounded_up(wide bytes, wide us) {
  const wide rate = (bytes * 8 * microseconds_per_second + us - 1) / us;
  constexpr auto most = std::numeric_limits<std::int64_t>::max();
  return rate > wide(most) ? most : static_cast<std::int64_t>(rate);
}

}  // namespace

media_playlist parse_media_playlist(std::string_view text) {
  constexpr std::string_view target_tag = "#EXT-X-TARGETDURATION:";
  constexpr std::string_view duration_tag = "#EXTINF:";
  media_playlist playlist;
  bool has_target = false;
  std::int64_t duration = -1;  // the last EXTINF's, until its URI line takes it
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    if (line.starts_with(target_tag)) {
      const auto target = microseconds_of(after_tag(line, target_tag));
      if (!target)
        throw std::runtime_error("media playlist: target duration is not a number: " +
                                 std::string(line));
      playlist.target_duration_us = *target;
      has_target = true;
    } else if (line.starts_with(duration_tag)) {
      const std::string_view value = after_tag(line, duration_tag);
      const auto us = microseconds_of(value.substr(0, value.find(',')));
      if (!us)
        throw std::runtime_error("media playlist: segment duration is not a number: " +
                                 std::string(line));
      duration = *us;
    } else if (!line.empty() && line.front() != '#') {
      if (duration < 0)
        throw std::runtime_error("media playlist: segment without a duration: " +
                                 std::string(line));
      playlist.segments.push_back({duration, std::string(line)});
      duration = -1;
    }
  }
  if (!has_target) throw std::runtime_error("media playlist: no target duration");
  return playlist;
}

bit_rates measure_bit_rates(const std::vector<segment_size>& segments,
                            std::int64_t target_duration_us) {
  wide total_bytes = 0;
  wide total_us = 0;
  for (const auto& segment : segments) {
    if (segment.bytes < 0 || segment.duration_us < 0)
      throw std::runtime_error("segment with a negative size or duration");
    total_bytes += wide(segment.bytes);
    total_us += wide(segment.duration_us);
  }
  if (segments.empty()) throw std::runtime_error("no segment to measure");
  if (total_us == 0) total_us = timeless_rendition_us;

  // A run qualifies when target / 2 <= duration <= target x 3 / 2.
  const wide shortest = wide(std::max<std::int64_t>(target_duration_us, 0));
  const wide longest = shortest * 3;
  std::optional<std::int64_t> peak;
  for (std::size_t first = 0; first < segments.size(); ++first) {
    wide bytes = 0;
    wide us = 0;
    for (std::size_t last = first; last < segments.size(); ++last) {
      bytes += wide(segments[last].bytes);
      us += wide(segments[last].duration_us);
      if (us * 2 > longest) break;
      if (us * 2 >= shortest && us > 0)
        peak = std::max(peak.value_or(0), rate_rounded_up(bytes, us));
    }
  }
  const std::int64_t average = rate_rounded_up(total_bytes, total_us);
  return {peak.value_or(average), average};
}

bit_rates measure_rendition(const std::string& playlist_path) {
  errno = 0;
  std::ifstream file(playlist_path, std::ios::in | std::ios::binary);
  if (!file)
    throw av_error(AVERROR(errno != 0 ? errno : EIO), "cannot read media playlist", playlist_path);
  const std::string text{std::istreambuf_iterator<char>(file), {}};
  const media_playlist playlist = parse_media_playlist(text);
  const std::string directory = directory_of(playlist_path);
  std::vector<segment_size> sizes;
  for (const auto& segment : playlist.segments) {
    const std::string path = segment.uri.starts_with('/') ? segment.uri : directory + segment.uri;
    struct stat info{};
    if (stat(path.c_str(), &info) != 0)
      throw av_error(AVERROR(errno), "cannot measure segment", path);
    sizes.push_back({segment.duration_us, static_cast<std::int64_t>(info.st_size)});
  }
  return measure_bit_rates(sizes, playlist.target_duration_us);
}

}  // namespace corvane
