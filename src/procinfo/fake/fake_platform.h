// A scriptable Platform for tests: the test decides which processes exist,
// what each read returns or whether it fails, how the processor tick
// counters move, and the time base. It behaves like the macOS backend
// (argument areas are raw KERN_PROCARGS2 bytes parsed by the shared parser,
// names come from paths, the status follows the combination rule, task
// information is a read of its own) unless setStateFollowsLatestRefresh(true)
// and setTaskInfoComesWithBasicInfo(true) ask for the Linux behaviour.
//
// The test owns the FakePlatform and the FakeClock it reads; both must
// outlive every ProcessInfoSource made on them. One thread.
//
// Typical use:
//   FakeClock clock;
//   FakePlatform platform(clock);
//   platform.addProcess(1, 0, 1000, "launchd");
//   platform.addProcess(42, 1, 2000, "worker", {"worker", "--fast"});
//   auto source = ProcessInfoSource::new_with_specifics(platform);
//   source.refresh_processes_specifics(RefreshSelection::everything());
//   platform.advance(std::chrono::seconds(1));        // clock and processor ticks
//   platform.addCpuTime(42, std::chrono::seconds(1)); // busy on one processor
//   source.refresh_processes_specifics(RefreshSelection::everything());
//   // source.processes().at(42).cpuUsage is about 100
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "procinfo/fake/fake_clock.h"
#include "procinfo/platform.h"

namespace sidecar::procinfo {

/// Everything the fake answers for one pid. Every field may be set directly.
struct FakeProcess {
  /// Empty: the basic information is unreadable.
  std::optional<BasicInfo> basic;
  /// Empty: the task query fails.
  std::optional<TaskInfo> task = TaskInfo{};
  /// Empty: the thread query fails.
  std::optional<ThreadInfo> thread = ThreadInfo{};
  /// Empty: the disk counters are unreadable.
  std::optional<DiskCounters> disk = DiskCounters{};
  /// Raw KERN_PROCARGS2 bytes; empty optional: unreadable.
  std::optional<std::string> argumentArea;
  /// The executable path; empty optional: unreadable.
  std::optional<std::string> path;
  /// Which process holds the pid, for the exit watch: a watch ends when the
  /// pid is removed or given to another incarnation, or when `ended` is
  /// set (a zombie). addProcess gives each call a new one.
  std::uint64_t incarnation = 0;
  bool ended = false;
};

/// The bytes of a KERN_PROCARGS2 area: the count (i32, host byte order), the
/// executable path and its NUL, NUL padding to a multiple of 8 counted from
/// offset 4, the arguments each with its NUL, then the environment strings.
std::string makeArgumentArea(std::string_view executablePath, const std::vector<std::string>& arguments,
                             const std::vector<std::string>& environment = {});

/// How many times each operation was called (since construction or
/// resetCalls).
struct FakeCallCounts {
  std::size_t listPids = 0;
  std::size_t basicInfo = 0;
  std::size_t taskInfo = 0;
  std::size_t threadInfo = 0;
  std::size_t diskCounters = 0;
  std::size_t readNameAndArguments = 0;
  std::size_t readNameFromPath = 0;
  std::size_t processorTicks = 0;
  std::size_t timeBase = 0;
  std::size_t absoluteTime = 0;
};

class FakePlatform final : public Platform {
 public:
  /// Starts with no process, four processors (numbered 0 to 3) at zero
  /// ticks, 100 ticks per second, time base 1/1 (the CPU-time unit is the
  /// nanosecond) and the absolute time at 0.
  explicit FakePlatform(FakeClock& clock);

  // --- Processes -----------------------------------------------------------

  /// Adds (or replaces) a process that reads fully: state Run, the given
  /// parent and start time, executable path "/usr/bin/<name>" (or `name`
  /// itself when it holds a '/'), an argument area with that path and
  /// exactly `arguments` (none when empty), zero CPU, memory and disk
  /// values, thread running. Returns the entry for further scripting.
  FakeProcess& addProcess(std::uint32_t pid, std::uint32_t parentPid, std::uint64_t startSeconds,
                          std::string_view name, const std::vector<std::string>& arguments = {});
  /// Removes a process; it is no longer listed.
  void removeProcess(std::uint32_t pid);
  /// The entry of a listed process (it must exist).
  FakeProcess& process(std::uint32_t pid);
  bool hasProcess(std::uint32_t pid) const;

  /// Adds CPU time, converted to CPU-time units with the current time base.
  void addCpuTime(std::uint32_t pid, std::chrono::nanoseconds user,
                  std::chrono::nanoseconds system = std::chrono::nanoseconds(0));
  void setMemory(std::uint32_t pid, std::uint64_t residentBytes, std::uint64_t virtualBytes);
  void setDisk(std::uint32_t pid, std::uint64_t bytesRead, std::uint64_t bytesWritten);
  /// Sets the state the basic information reports.
  void setState(std::uint32_t pid, ProcessState state);
  /// Sets the start at the finest resolution the basic information reports
  /// (BasicInfo::startInstant; 0 after addProcess).
  void setStartInstant(std::uint32_t pid, std::uint64_t instant) { process(pid).basic->startInstant = instant; }
  /// Sets the thread's raw run state (ThreadState::RUN_STATE_*).
  void setThreadState(std::uint32_t pid, std::int32_t runState);

  /// The listing fails the next `count` times (each failure empties the map).
  void failListing(std::size_t count = 1) { listingFailures_ = count; }
  /// Lists pids in this order (default: ascending). Pids not known are
  /// listed too and read as unreadable everywhere. Empty: default order.
  void setListingOrder(std::vector<std::uint32_t> order) { listingOrder_ = std::move(order); }

  // --- Processor counters and time -----------------------------------------

  /// Moves the clock forward and every processor's idle counter by the same
  /// time (in ticks, rounded down), and the absolute time by the same time
  /// in CPU-time units: time passing on an idle machine.
  void advance(std::chrono::nanoseconds by);
  /// Sets the processor counters directly, numbers included (ascending);
  /// an empty list means the processors read as "no processor" (a failure).
  /// Leaving a number out is a processor that went offline.
  void setProcessorTicks(std::vector<ProcessorTicks> ticks) { ticks_ = std::move(ticks); }
  const std::vector<ProcessorTicks>& processorTickValues() const { return ticks_; }
  /// false: every processor-counter read fails (creation included).
  void setProcessorCountersAvailable(bool available) { ticksAvailable_ = available; }
  /// The next `count` processor-counter reads fail.
  void failProcessorTicks(std::size_t count = 1) { tickFailures_ = count; }
  /// Empty: the time-base read fails.
  void setTimeBase(std::optional<TimeBase> base) { timeBase_ = base; }
  void setClockTicksPerSecond(std::uint64_t ticks) { ticksPerSecond_ = ticks; }
  void setAbsoluteTime(std::uint64_t units) { absoluteTime_ = units; }
  void setStateFollowsLatestRefresh(bool follows) { stateFollows_ = follows; }
  /// true: the task information counts as read with the basic information,
  /// as on Linux (default false, as on macOS).
  void setTaskInfoComesWithBasicInfo(bool comes) { taskWithBasic_ = comes; }

  /// Offers an exit watch (none by default, as on macOS) that holds at
  /// most `budget` watches.
  void setExitWatch(bool available, std::size_t budget = SIZE_MAX) {
    exitWatchAvailable_ = available;
    exitWatchBudget_ = budget;
  }
  /// Makes every exit watch made so far give up all its watches, as for
  /// want of descriptors.
  void giveUpExitWatches() { ++exitWatchGiveUps_; }

  FakeClock& fakeClock() { return clock_; }
  const FakeCallCounts& calls() const { return calls_; }
  void resetCalls() { calls_ = {}; }

  // --- Platform ------------------------------------------------------------
  Clock& clock() override { return clock_; }
  bool stateFollowsLatestRefresh() const override { return stateFollows_; }
  bool taskInfoComesWithBasicInfo() const override { return taskWithBasic_; }
  std::unique_ptr<ExitWatch> makeExitWatch() override;
  bool listPids(std::vector<std::uint32_t>& pids) override;
  std::optional<BasicInfo> basicInfo(std::uint32_t pid) override;
  std::optional<TaskInfo> taskInfo(std::uint32_t pid) override;
  std::optional<ThreadInfo> threadInfo(std::uint32_t pid) override;
  std::optional<DiskCounters> diskCounters(std::uint32_t pid) override;
  bool readNameAndArguments(std::uint32_t pid, bool wantName, bool wantArguments, std::string& name,
                            std::vector<std::string>& arguments) override;
  bool readNameFromPath(std::uint32_t pid, std::string& name) override;
  bool processorTicks(std::vector<ProcessorTicks>& ticks) override;
  std::optional<TimeBase> timeBase() override;
  std::uint64_t clockTicksPerSecond() override { return ticksPerSecond_; }
  std::uint64_t absoluteTime() override;

 private:
  class FakeExitWatch;
  const FakeProcess* find(std::uint32_t pid) const;
  /// The task information of `pid`, made readable (zeros) when it was not.
  TaskInfo& readableTask(std::uint32_t pid);
  double nanosecondsPerUnit() const;

  FakeClock& clock_;
  std::map<std::uint32_t, FakeProcess> processes_;
  std::vector<std::uint32_t> listingOrder_;
  std::size_t listingFailures_ = 0;
  std::vector<ProcessorTicks> ticks_ = std::vector<ProcessorTicks>(4);
  bool ticksAvailable_ = true;
  std::size_t tickFailures_ = 0;
  std::optional<TimeBase> timeBase_ = TimeBase{};
  std::uint64_t ticksPerSecond_ = 100;
  std::uint64_t absoluteTime_ = 0;
  bool stateFollows_ = false;
  bool taskWithBasic_ = false;
  FakeCallCounts calls_;
  std::uint64_t incarnations_ = 0;
  bool exitWatchAvailable_ = false;
  std::size_t exitWatchBudget_ = SIZE_MAX;
  std::uint64_t exitWatchGiveUps_ = 0;
};

}  // namespace sidecar::procinfo
