// A clock that only moves when the test says so. sleepFor advances the
// monotonic and the wall clock by the requested time and records the sleep.
#pragma once

#include <chrono>
#include <vector>

#include "procinfo/clock.h"

namespace sidecar::procinfo {

class FakeClock final : public Clock {
 public:
  std::chrono::nanoseconds monotonicNow() override { return monotonic_; }
  std::chrono::nanoseconds wallNow() override { return wall_; }
  void sleepFor(std::chrono::nanoseconds duration) override {
    sleeps_.push_back(duration);
    advance(duration);
  }

  /// Moves both clocks forward.
  void advance(std::chrono::nanoseconds by) {
    monotonic_ += by;
    wall_ += by;
  }
  /// Sets the wall clock alone (forward or back).
  void setWall(std::chrono::nanoseconds wall) { wall_ = wall; }
  void setMonotonic(std::chrono::nanoseconds monotonic) { monotonic_ = monotonic; }
  const std::vector<std::chrono::nanoseconds>& sleeps() const { return sleeps_; }

 private:
  std::chrono::nanoseconds monotonic_{std::chrono::seconds(1000)};
  // 2026-01-01T00:00:00Z: a realistic, whole-second wall clock.
  std::chrono::nanoseconds wall_{std::chrono::seconds(1767225600)};
  std::vector<std::chrono::nanoseconds> sleeps_;
};

}  // namespace sidecar::procinfo
