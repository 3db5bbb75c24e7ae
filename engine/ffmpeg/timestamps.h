// Arithmetic on a source's timestamps. A source may claim any 64-bit values:
// every sum, difference, product and rescale of them is checked, and one whose
// result does not fit (or lands on AV_NOPTS_VALUE) is nothing, treated as unknown.
#pragma once

#include <cstdint>
#include <optional>

#include "ffmpeg/headers.h"

namespace corvane {

inline std::optional<std::int64_t> checked_add(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum) || sum == AV_NOPTS_VALUE) return std::nullopt;
  return sum;
}

inline std::optional<std::int64_t> checked_subtract(std::int64_t a, std::int64_t b) {
  std::int64_t difference = 0;
  if (__builtin_sub_overflow(a, b, &difference) || difference == AV_NOPTS_VALUE)
    return std::nullopt;
  return difference;
}

inline std::optional<std::int64_t> checked_multiply(std::int64_t a, std::int64_t b) {
  std::int64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product) || product == AV_NOPTS_VALUE) return std::nullopt;
  return product;
}

// av_rescale_q gives AV_NOPTS_VALUE when the result does not fit.
inline std::optional<std::int64_t> checked_rescale(std::int64_t ts, AVRational from,
                                                   AVRational to) {
  if (ts == AV_NOPTS_VALUE) return std::nullopt;
  const std::int64_t rescaled = av_rescale_q(ts, from, to);
  if (rescaled == AV_NOPTS_VALUE) return std::nullopt;
  return rescaled;
}

}  // namespace corvane
