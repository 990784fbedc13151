// The clock readings that go on the wire, in whole units and never negative:
// the wall clock in milliseconds since the Unix epoch (0 before the epoch)
// and monotonic durations in microseconds (0 if the clock went backwards).
#pragma once

#include <chrono>
#include <cstdint>

#include "procinfo/clock.h"

namespace sidecar::sampling {

/// The wall clock in whole milliseconds since the Unix epoch; 0 before it.
inline std::uint64_t wallUnixMs(procinfo::Clock& clock) {
  const std::chrono::nanoseconds now = clock.wallNow();
  if (now.count() < 0) {
    return 0;
  }
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

/// Whole microseconds from `start` to `end`; 0 when `end` is earlier.
inline std::uint64_t elapsedMicros(std::chrono::nanoseconds start, std::chrono::nanoseconds end) {
  if (end <= start) {
    return 0;
  }
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(end - start).count());
}

}  // namespace sidecar::sampling
