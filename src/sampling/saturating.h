// Saturating arithmetic on unsigned 64-bit counters: additions and
// multiplications stop at the largest value, subtractions at 0. Pure.
#pragma once

#include <cstdint>
#include <limits>

namespace sidecar::sampling {

inline constexpr std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t sum = a + b;
  return sum < a ? std::numeric_limits<std::uint64_t>::max() : sum;
}

inline constexpr std::uint64_t saturatingSub(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }

inline constexpr std::uint64_t saturatingMul(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return a * b;
}

}  // namespace sidecar::sampling
