#include "session/session_state.h"

#include <algorithm>

namespace sidecar::session {

std::optional<std::chrono::milliseconds> sampleIntervalFromMs(std::uint64_t sampleIntervalMs) {
  if (sampleIntervalMs == 0) {
    return std::nullopt;
  }
  // Clamp in the unsigned domain first: the value may exceed what a signed
  // millisecond count holds.
  const auto low = static_cast<std::uint64_t>(MIN_SAMPLE_INTERVAL.count());
  const auto high = static_cast<std::uint64_t>(MAX_SAMPLE_INTERVAL.count());
  const std::uint64_t clamped = std::clamp(sampleIntervalMs, low, high);
  return std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(clamped));
}

SessionState::SessionState(procinfo::Platform& platform, procinfo::Clock& clock)
    : platform(platform), clock(clock), sampler(platform, clock) {}

}  // namespace sidecar::session
