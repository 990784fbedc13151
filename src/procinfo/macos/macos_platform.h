// The macOS backend of the Platform seam: sysctl (the process table
// KERN_PROC_ALL and the argument area KERN_PROCARGS2), libproc
// (proc_pidinfo, proc_pid_rusage, proc_pidpath) and the Mach host and time
// services. Each operation is one call, or the pair of calls the system
// needs (size then contents, first thread then thread query); the argument
// area is parsed by the shared parseArgumentArea.
//
// The listing reads the whole process table in one call, for processes of
// every user, zombies included; the basic values of each listed process are
// kept from it until the next listing, so basicInfo costs no call of its
// own. (The per-process BSD information would refuse other users'
// processes to a caller that is not root, which the sidecar on a Mac is.)
//
// Owned by its creator (makeSystemPlatform); one thread at a time. Holds the
// host port, released at destruction, and the latest processor-counter
// array, released when the next reading replaces it and at destruction.
//
// Off the Mac this file is compiled against the project's own declarations
// and a scriptable double of the kernel (darwin_double/), for the tests.
#pragma once

#include <mach/mach.h>
#include <sys/sysctl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "procinfo/platform.h"

namespace sidecar::procinfo {

class MacosPlatform final : public Platform {
 public:
  explicit MacosPlatform(Clock& clock);
  ~MacosPlatform() override;
  MacosPlatform(const MacosPlatform&) = delete;
  MacosPlatform& operator=(const MacosPlatform&) = delete;

  Clock& clock() override { return clock_; }
  /// The BSD status tells a stopped, a zombie and an idle process at every
  /// reading; a stopped process's threads merely wait.
  bool stateFollowsLatestRefresh() const override { return true; }
  /// PROC_PIDTASKINFO is a call of its own (it sums the times of every
  /// thread of the task), so it is made for watched processes only: a
  /// process that joins the watched set later (external processes set
  /// later, re-parenting) reads cpuPercent 0 in its first watched sample,
  /// as a new process does, rather than every sample paying one more call
  /// per process on the system for it.
  bool taskInfoComesWithBasicInfo() const override { return false; }
  /// The process table, newest first and zombies last, as the system lists
  /// it; keeps each process's basic values for basicInfo.
  bool listPids(std::vector<std::uint32_t>& pids) override;
  /// From the latest listing; a pid it did not hold is read on its own
  /// (KERN_PROC_PID). Zombies and other users' processes included.
  std::optional<BasicInfo> basicInfo(std::uint32_t pid) override;
  std::optional<TaskInfo> taskInfo(std::uint32_t pid) override;
  /// The process's first thread (see thread_handles.h); its times converted
  /// from nanoseconds to Mach absolute-time units, the unit of the task
  /// totals. Empty for a process without threads or unreadable.
  std::optional<ThreadInfo> threadInfo(std::uint32_t pid) override;
  std::optional<DiskCounters> diskCounters(std::uint32_t pid) override;
  bool readNameAndArguments(std::uint32_t pid, bool wantName, bool wantArguments, std::string& name,
                            std::vector<std::string>& arguments) override;
  bool readNameFromPath(std::uint32_t pid, std::string& name) override;
  bool processorTicks(std::vector<ProcessorTicks>& ticks) override;
  std::optional<TimeBase> timeBase() override;
  std::uint64_t clockTicksPerSecond() override;
  std::uint64_t absoluteTime() override;

 private:
  void releaseProcessorInfo();
  std::uint64_t absoluteUnits(std::uint64_t nanoseconds) const;

  Clock& clock_;
  host_t host_;
  // The time base, read once at construction: what timeBase() reports and
  // what thread times are converted with (1/1 when unreadable).
  std::optional<TimeBase> timeBase_;
  // The latest process table, and the basic values of its processes in
  // ascending order of pid.
  std::vector<struct kinfo_proc> table_;
  std::vector<std::pair<std::uint32_t, BasicInfo>> listed_;
  // At most ARG_MAX bytes.
  std::vector<char> argumentBuffer_;
  std::vector<char> pathBuffer_;
  processor_info_array_t processorInfo_ = nullptr;
  mach_msg_type_number_t processorInfoCount_ = 0;
};

}  // namespace sidecar::procinfo
