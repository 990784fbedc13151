// The seam between the process-information source and the operating system.
//
// Platform is abstract so that the record keeping, the status rules and the
// CPU arithmetic are written once, above it, and run unchanged on every
// system and under test. Each backend supplies the same small set of reads:
//   - linux/  reads /proc;
//   - macos/  calls libproc, sysctl and the Mach host and time services;
//   - fake/   answers from values a test scripts (FakePlatform).
// The build picks exactly one real backend (by folder, in CMake), and
// makeSystemPlatform() returns it.
//
// The operations mirror the macOS calls one for one (list, basic, task and
// thread information, disk counters, argument area, executable path,
// processor ticks, time base), so that the shared code follows one plain
// algorithm; the other backends answer each operation in their own way.
//
// Backends report no errors and throw nothing: an unreadable value is an
// empty optional or a `false` return, and a few reads (task information)
// read as zeros. What a failure means for the records is decided above the
// seam, never here.
//
// Ownership and threads: the caller owns the Platform; a ProcessInfoSource
// keeps a reference to it and must not outlive it. A Platform is used by one
// thread at a time. Backends may cache between calls (Linux keeps the last
// /proc/PID/stat it read), so several sources may share one platform only if
// they refresh one after the other, never interleaved.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "procinfo/clock.h"
#include "procinfo/process_status.h"

namespace sidecar::procinfo {

/// The values read for every listed process (on macOS its record in the
/// process table, which the listing reads whole).
struct BasicInfo {
  /// The process state, already mapped by the backend (see process_status.h).
  ProcessState state = ProcessState::unknown(0);
  /// 0 when the process has no parent the system reports.
  std::uint32_t parentPid = 0;
  /// Whole seconds since the Unix epoch. Stable: the same process gives the
  /// same value at every read, so that a change means the pid was reused.
  std::uint64_t startSeconds = 0;
  /// The start time at the finest resolution the system gives, in a unit of
  /// the backend's own (clock ticks since boot on Linux, microseconds since
  /// the epoch on macOS). Only compared for equality, to tell two processes
  /// that had the same pid within one second apart; 0 when the backend
  /// cannot tell finer than startSeconds.
  std::uint64_t startInstant = 0;
};

/// Process totals (on macOS PROC_PIDTASKINFO). CPU times are in the
/// platform's CPU-time unit (see Platform::timeBase); sizes in bytes.
struct TaskInfo {
  std::uint64_t totalUser = 0;
  std::uint64_t totalSystem = 0;
  std::uint64_t residentSize = 0;
  std::uint64_t virtualSize = 0;
  bool operator==(const TaskInfo&) const = default;
};

/// One thread of the process (on macOS PROC_PIDTHREADINFO for its first thread).
struct ThreadInfo {
  /// The raw run state (ThreadState::RUN_STATE_* of process_status.h).
  std::int32_t runState = ThreadState::RUN_STATE_RUNNING;
  /// CPU-time units. Not used for CPU usage: the task totals already count
  /// every thread.
  std::uint64_t userTime = 0;
  std::uint64_t systemTime = 0;
};

/// Storage bytes since the process started (on macOS RUSAGE_INFO_V2).
struct DiskCounters {
  std::uint64_t bytesRead = 0;
  std::uint64_t bytesWritten = 0;
};

/// Cumulative ticks of one processor, as 32-bit counters that wrap.
struct ProcessorTicks {
  std::uint32_t user = 0;
  std::uint32_t system = 0;
  std::uint32_t idle = 0;
  std::uint32_t nice = 0;
  /// Which processor the counters belong to, stable while the system runs
  /// (N of "cpuN" on Linux, the array index on macOS). A system may list
  /// only the processors that are online, so two readings are paired by
  /// this number, never by position.
  std::uint32_t number = 0;
  bool operator==(const ProcessorTicks&) const = default;
};

/// Nanoseconds per CPU-time unit = numer / denom.
struct TimeBase {
  std::uint32_t numer = 1;
  std::uint32_t denom = 1;
};

/// What an exit watch learnt since it was last asked (ExitWatch::collect).
struct ExitNews {
  /// Watched processes that have ended (turned zombie, or gone) since their
  /// watch began, each reported once. The watch goes on holding an ended
  /// process until it is released or forgotten, and is not asked to watch
  /// its pid again meanwhile.
  std::vector<std::uint32_t> ended;
  /// Ended processes that have been released since (reaped: the pid is free
  /// for another process); no longer watched.
  std::vector<std::uint32_t> released;
  /// Pids whose watch was given up (for want of descriptors), ended or not;
  /// no longer watched.
  std::vector<std::uint32_t> givenUp;

  void clear() {
    ended.clear();
    released.clear();
    givenUp.clear();
  }
};

/// Tells which processes have ended, so that a refresh need not read a
/// process that nobody watches just to learn whether it is still the same
/// one, and so that a pid taken by another process within the resolution of
/// the start time is still told apart. Owned by the one source that made it
/// (Platform::makeExitWatch).
class ExitWatch {
 public:
  virtual ~ExitWatch() = default;
  /// Starts watching the process that holds `pid` now. Called before its
  /// values are read, so that an end after the watch began is never missed.
  /// False when it cannot watch (the process has gone, no descriptor is
  /// free): the caller then reads the process at every refresh.
  virtual bool watch(std::uint32_t pid) = 0;
  /// Stops watching `pid`, ended or not; nothing when it is not watched.
  virtual void forget(std::uint32_t pid) = 0;
  /// Appends what happened since the last call to `news` (see ExitNews).
  virtual void collect(ExitNews& news) = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;

  /// The clocks: monotonic for the CPU interval, wall for run times.
  virtual Clock& clock() = 0;

  /// How the status of a process is kept.
  ///   true (Linux, macOS): the source takes the process state afresh from
  ///     the basic information at every refresh, so that a process stopped
  ///     or continued after it was first seen reports what it does now. On
  ///     macOS the thread query refines a running process (reportedStatus's
  ///     combination rule); Linux has no thread query, its one state letter
  ///     already says what the process does, and the thread information
  ///     (which then fails) counts as running.
  ///   false (test platforms only): the process state is read once, when
  ///     the record is built; only a process turning zombie takes the new
  ///     state.
  virtual bool stateFollowsLatestRefresh() const = 0;

  /// Whether the task information comes with the basic information at no
  /// read of its own: true on Linux (both from one /proc/PID/stat reading,
  /// so taskInfo must follow basicInfo of the same pid), false on macOS
  /// (PROC_PIDTASKINFO is a call of its own). The source then reads it:
  ///   true: for every listed process at every refresh, so that every
  ///     process has a CPU baseline, and a process that joins the watched
  ///     set has its CPU usage from its first watched sample on;
  ///   false: only for the processes whose details it reads (the watched
  ///     ones); a process that joins the watched set has cpuUsage 0 in its
  ///     first watched sample, like a process seen for the first time.
  virtual bool taskInfoComesWithBasicInfo() const = 0;

  /// A watch over process ends for one source, or none where the system
  /// offers no such notice (every process is then read at every refresh).
  virtual std::unique_ptr<ExitWatch> makeExitWatch() { return nullptr; }

  /// Lists every process of the system into `pids` (cleared first; its
  /// capacity is reused). Returns false when the listing failed; `pids` is
  /// then unspecified.
  virtual bool listPids(std::vector<std::uint32_t>& pids) = 0;

  /// Parent, start time and state; empty when unreadable (gone, denied).
  virtual std::optional<BasicInfo> basicInfo(std::uint32_t pid) = 0;

  /// CPU totals and memory sizes; empty when unreadable (a zombie on macOS,
  /// another user's process), and the source then keeps the values it had.
  virtual std::optional<TaskInfo> taskInfo(std::uint32_t pid) = 0;

  /// The run state and times of one thread; empty when the query fails.
  virtual std::optional<ThreadInfo> threadInfo(std::uint32_t pid) = 0;

  /// Storage byte totals; empty when unreadable.
  virtual std::optional<DiskCounters> diskCounters(std::uint32_t pid) = 0;

  /// Reads the process's argument vector (on macOS the KERN_PROCARGS2 area,
  /// parsed by parseArgumentArea) and the name that comes with it.
  ///   wantName: the record has no name yet; on success `name` is set to the
  ///     name found, which may be empty (the area held no usable name).
  ///   wantArguments: the command line is selected; on success `arguments`
  ///     is replaced by the arguments in order, empty ones left out.
  /// Returns false when unreadable; `name` and `arguments` are then
  /// untouched.
  virtual bool readNameAndArguments(std::uint32_t pid, bool wantName, bool wantArguments,
                                    std::string& name, std::vector<std::string>& arguments) = 0;

  /// Reads the name from the executable path (on macOS proc_pidpath): its
  /// last component, possibly empty. Returns false when unreadable; `name`
  /// is then untouched.
  virtual bool readNameFromPath(std::uint32_t pid, std::string& name) = 0;

  /// Reads every listed processor's cumulative ticks into `ticks` (cleared
  /// first; capacity reused), each with its number, in ascending order of
  /// number. Returns false when unreadable or no processor.
  virtual bool processorTicks(std::vector<ProcessorTicks>& ticks) = 0;

  /// The length of the CPU-time unit; empty when unreadable.
  virtual std::optional<TimeBase> timeBase() = 0;

  /// Processor ticks per second (the unit of processorTicks).
  virtual std::uint64_t clockTicksPerSecond() = 0;

  /// Now, in CPU-time units, for the CPU fallback of a platform without
  /// processor counters.
  virtual std::uint64_t absoluteTime() = 0;
};

/// The real platform of the system this was built for. `clock` must outlive
/// it.
std::unique_ptr<Platform> makeSystemPlatform(Clock& clock);

/// "linux" or "macos".
const char* systemPlatformName();

/// "x86_64" or "aarch64".
const char* systemArchName();

}  // namespace sidecar::procinfo
