// The clocks the sidecar reads, behind a seam so that tests can move time
// (set the wall clock back, age the history, cross the refresh spacing)
// without sleeping. Used on the main thread only.
#pragma once

#include <chrono>

namespace sidecar::procinfo {

class Clock {
 public:
  virtual ~Clock() = default;
  /// Monotonic time since an unspecified origin, nanosecond resolution.
  virtual std::chrono::nanoseconds monotonicNow() = 0;
  /// Wall-clock time since the Unix epoch; negative before the epoch.
  virtual std::chrono::nanoseconds wallNow() = 0;
  /// Blocks for `duration`; a sleep cut short by a signal is resumed for the
  /// time that remains.
  virtual void sleepFor(std::chrono::nanoseconds duration) = 0;
};

/// The operating system's clocks: the platform's monotonic clock
/// (CLOCK_MONOTONIC on Linux, CLOCK_UPTIME_RAW on macOS) and CLOCK_REALTIME.
/// Stateless; implemented by the platform backend.
class SystemClock final : public Clock {
 public:
  std::chrono::nanoseconds monotonicNow() override;
  std::chrono::nanoseconds wallNow() override;
  void sleepFor(std::chrono::nanoseconds duration) override;
};

}  // namespace sidecar::procinfo
