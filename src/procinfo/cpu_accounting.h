// CPU accounting of one ProcessInfoSource: the CPU interval between two
// readings of the processors' tick counters, and from it each process's CPU
// usage (percent of one processor) and accumulated CPU time (milliseconds).
// A platform whose processor counters cannot be read at set-up uses a
// fallback based on the absolute time of each reading, for the source's
// whole life. Owned by the source; used on its thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "procinfo/platform.h"
#include "procinfo/process_info.h"

namespace sidecar::procinfo {

class CpuAccounting {
 public:
  /// The shortest CPU interval, and the least time between two readings of
  /// the processor counters.
  static constexpr std::chrono::nanoseconds MIN_INTERVAL = std::chrono::milliseconds(200);

  /// Set-up: reads the ticks per second, the time base and the processor
  /// counters. `platform` must outlive the object.
  explicit CpuAccounting(Platform& platform);

  bool hasProcessorCounters() const { return countersAvailable_; }

  /// Determines this refresh's CPU interval, in CPU-time units (only with
  /// processor counters). Within 200 ms of the last measurement, or when
  /// the monotonic clock went back, the previous interval is reused; when
  /// the counters cannot be read, this refresh's interval is 0 and the
  /// stored state stays. Returns the interval in force.
  double measureInterval();

  /// A known process whose task information was read: sets cpuUsage,
  /// accumulatedCpuTime and the previous times. The task totals already
  /// count every thread.
  void updateCpu(ProcessInfo& info, const TaskInfo& task);

  /// A new record whose task information was read: sets the previous times
  /// (without processor counters, the fallback's baseline: the total and
  /// the absolute time now) and accumulatedCpuTime; cpuUsage stays 0.
  void baselineCpu(ProcessInfo& info, const TaskInfo& task) const;

  /// Nanoseconds per CPU-time unit.
  double timeBase() const { return timeBase_; }

 private:
  Platform* platform_;
  bool countersAvailable_ = false;
  std::vector<ProcessorTicks> snapshot_;
  std::vector<ProcessorTicks> reading_;  // reused buffer for each new reading
  double tickLength_ = 0.0;               // nanoseconds per processor tick
  double timeBase_ = 1.0;                 // nanoseconds per CPU-time unit
  double millisecondFactor_ = 0.0;        // milliseconds per CPU-time unit
  double interval_ = 0.0;                 // last measured interval, CPU-time units
  double refreshInterval_ = 0.0;          // the interval of the current refresh
  std::optional<std::chrono::nanoseconds> measuredAt_;
};

}  // namespace sidecar::procinfo
