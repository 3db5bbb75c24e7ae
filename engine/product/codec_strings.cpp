#include "product/codec_strings.h"

#include <array>
#include <cstdio>
#include <vector>

namespace corvane {
namespace {

constexpr std::uint8_t nal_type_sps = 7;

// The first `count` bytes of a NAL unit's payload (after its header byte) with
// the emulation prevention bytes (0x03 after two zero bytes) taken out.
std::vector<std::uint8_t> unescaped_payload(std::span<const std::uint8_t> nal, std::size_t count) {
  std::vector<std::uint8_t> payload;
  int zeros = 0;
  for (std::size_t i = 1; i < nal.size() && payload.size() < count; ++i) {
    if (zeros >= 2 && nal[i] == 0x03) {
      zeros = 0;
      continue;
    }
    zeros = nal[i] == 0 ? zeros + 1 : 0;
    payload.push_back(nal[i]);
  }
  return payload;
}

// The NAL units of an Annex B stream, each without its start code.
std::vector<std::span<const std::uint8_t>> annex_b_units(std::span<const std::uint8_t> data) {
  std::vector<std::size_t> starts;  // the first byte after each 00 00 01
  for (std::size_t i = 0; i + 2 < data.size(); ++i)
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) starts.push_back(i + 3);
  std::vector<std::span<const std::uint8_t>> units;
  for (std::size_t k = 0; k < starts.size(); ++k) {
    std::size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : data.size();
    // Trailing zeros belong to the next start code (00 00 00 01).
    while (end > starts[k] && data[end - 1] == 0) --end;
    units.push_back(data.subspan(starts[k], end - starts[k]));
  }
  return units;
}

std::string avc1_name(std::uint8_t profile, std::uint8_t constraints, std::uint8_t level) {
  std::array<char, 16> name{};
  std::snprintf(name.data(), name.size(), "avc1.%02X%02X%02X", profile, constraints, level);
  return name.data();
}

bool starts_with_start_code(std::span<const std::uint8_t> data) {
  return (data.size() >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1) ||
         (data.size() >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1);
}

}  // namespace

std::optional<std::string> h264_codec_name(std::span<const std::uint8_t> extradata) {
  if (starts_with_start_code(extradata)) {
    for (const auto unit : annex_b_units(extradata)) {
      if (unit.empty() || (unit[0] & 0x1F) != nal_type_sps) continue;
      const auto payload = unescaped_payload(unit, 3);
      if (payload.size() == 3) return avc1_name(payload[0], payload[1], payload[2]);
    }
    return std::nullopt;
  }
  // avcC: version 1, then the profile, constraint flags and level of its SPS.
  if (extradata.size() >= 4 && extradata[0] == 1)
    return avc1_name(extradata[1], extradata[2], extradata[3]);
  return std::nullopt;
}

std::optional<std::string> aac_codec_name(std::span<const std::uint8_t> extradata) {
  if (extradata.empty()) return std::nullopt;
  // Five bits of object type; 31 means six more bits follow, counting from 32.
  int object_type = extradata[0] >> 3;
  if (object_type == 31) {
    if (extradata.size() < 2) return std::nullopt;
    object_type = 32 + (((extradata[0] & 0x07) << 3) | (extradata[1] >> 5));
  }
  if (object_type == 0) return std::nullopt;
  return "mp4a.40." + std::to_string(object_type);
}

}  // namespace corvane
