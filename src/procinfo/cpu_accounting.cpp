#include "procinfo/cpu_accounting.h"

#include <algorithm>
#include <limits>

namespace sidecar::procinfo {

namespace {

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
  return b > std::numeric_limits<std::uint64_t>::max() - a ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

std::uint64_t truncateToU64(double value) {
  if (!(value > 0.0)) return 0;
  if (value >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

// The counters are 32 bits wide and wrap: the difference modulo 2^32 is the
// ticks that passed, across a wrap too.
std::uint32_t advanced(std::uint32_t before, std::uint32_t after) { return after - before; }

}  // namespace

CpuAccounting::CpuAccounting(Platform& platform) : platform_(&platform) {
  const std::uint64_t ticksPerSecond = platform_->clockTicksPerSecond();
  const TimeBase base = platform_->timeBase().value_or(TimeBase{});
  // A zero in the time base or the tick rate would make every value
  // infinite; treat it like an unreadable value. The fallback needs the
  // factor too, for the CPU time.
  timeBase_ = base.numer != 0 && base.denom != 0
                  ? static_cast<double>(base.numer) / static_cast<double>(base.denom)
                  : 1.0;
  millisecondFactor_ = timeBase_ / 1'000'000.0;
  if (!platform_->processorTicks(snapshot_) || snapshot_.empty()) {
    snapshot_.clear();
    return;
  }
  countersAvailable_ = true;
  tickLength_ = 1'000'000'000.0 / static_cast<double>(ticksPerSecond == 0 ? 100 : ticksPerSecond);
}

double CpuAccounting::measureInterval() {
  const std::chrono::nanoseconds now = platform_->clock().monotonicNow();
  if (measuredAt_ && (now < *measuredAt_ || now - *measuredAt_ < MIN_INTERVAL)) {
    refreshInterval_ = interval_;
    return refreshInterval_;
  }
  if (!platform_->processorTicks(reading_) || reading_.empty()) {
    refreshInterval_ = 0.0;
    return refreshInterval_;
  }
  // A processor may go offline or come back between two readings, and the
  // system lists only those online: pair the counters by processor number.
  // Both readings are in ascending order of number, so one merge pass pairs
  // them. The counters wrap at 32 bits; so does their sum.
  std::uint32_t elapsed = 0;
  std::size_t paired = 0;
  std::size_t previous = 0;
  for (const ProcessorTicks& after : reading_) {
    while (previous < snapshot_.size() && snapshot_[previous].number < after.number) ++previous;
    if (previous == snapshot_.size()) break;
    if (snapshot_[previous].number != after.number) continue;  // online again, or new: no baseline yet
    const ProcessorTicks& before = snapshot_[previous++];
    elapsed += advanced(before.user, after.user);
    elapsed += advanced(before.system, after.system);
    elapsed += advanced(before.idle, after.idle);
    elapsed += advanced(before.nice, after.nice);
    ++paired;
  }
  snapshot_.swap(reading_);
  measuredAt_ = now;
  if (paired == 0) {
    // No processor of the last reading is listed now: nothing to measure
    // this time; the next measurement starts from this reading.
    refreshInterval_ = 0.0;
    return refreshInterval_;
  }
  const double average = static_cast<double>(elapsed) / static_cast<double>(paired) * tickLength_;
  const double floor = static_cast<double>(MIN_INTERVAL.count());
  interval_ = std::max(average, floor) / timeBase_;
  refreshInterval_ = interval_;
  return refreshInterval_;
}

// Without processor counters the interval is the absolute time between two
// readings, so the record's previous times hold the fallback's baseline: the
// task's total CPU time (every thread's) and the absolute time it was read
// at. A stamp of 0 is no baseline.
void CpuAccounting::updateCpu(ProcessInfo& info, const TaskInfo& task) {
  const std::uint64_t total = saturatingAdd(task.totalUser, task.totalSystem);
  if (!countersAvailable_) {
    const std::uint64_t stamp = platform_->absoluteTime();
    const std::uint64_t previousTotal = info.previousUserTime;
    const std::uint64_t previousStamp = info.previousSystemTime;
    const bool baseline = previousTotal != 0 || previousStamp != 0;
    info.cpuUsage = !baseline || stamp <= previousStamp || total < previousTotal
                        ? 0.0F
                        : static_cast<float>(static_cast<double>(total - previousTotal) * 100.0 /
                                             static_cast<double>(stamp - previousStamp));
    info.previousUserTime = total;
    info.previousSystemTime = stamp;
    info.accumulatedCpuTime = truncateToU64(static_cast<double>(total) * millisecondFactor_);
    return;
  }
  const std::uint64_t previous = saturatingAdd(info.previousUserTime, info.previousSystemTime);
  if (refreshInterval_ > 0.000001 && previous != 0 && total > previous) {
    info.cpuUsage = static_cast<float>(static_cast<double>(total - previous) / refreshInterval_ * 100.0);
  } else {
    info.cpuUsage = 0.0F;
  }
  info.previousUserTime = task.totalUser;
  info.previousSystemTime = task.totalSystem;
  info.accumulatedCpuTime = truncateToU64(static_cast<double>(total) * millisecondFactor_);
}

void CpuAccounting::baselineCpu(ProcessInfo& info, const TaskInfo& task) const {
  const std::uint64_t total = saturatingAdd(task.totalUser, task.totalSystem);
  if (countersAvailable_) {
    info.previousUserTime = task.totalUser;
    info.previousSystemTime = task.totalSystem;
  } else {
    info.previousUserTime = total;
    info.previousSystemTime = platform_->absoluteTime();
  }
  info.accumulatedCpuTime = truncateToU64(static_cast<double>(total) * millisecondFactor_);
}

}  // namespace sidecar::procinfo
