// The macOS backend of the Platform seam: libproc (proc_listallpids,
// proc_pidinfo, proc_pid_rusage, proc_pidpath), sysctl KERN_PROCARGS2 and
// the Mach host and time services. Each operation is one call, or the pair
// of calls the system needs (count then list, size then contents, thread
// list then thread query); the argument area is parsed by the shared
// parseArgumentArea.
//
// Owned by its creator (makeSystemPlatform); one thread at a time. Holds the
// host port, released at destruction, and the latest processor-counter
// array, released when the next reading replaces it and at destruction.
//
// Off the Mac this file is compiled against the project's own declarations
// and a scriptable double of the kernel (darwin_double/), for the tests.
#pragma once

#include <mach/mach.h>

#include <cstdint>
#include <optional>
#include <string>
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
  bool stateFollowsLatestRefresh() const override { return false; }
  /// PROC_PIDTASKINFO is a call of its own (it sums the times of every
  /// thread of the task), so it is made for watched processes only: a
  /// process that joins the watched set later (external processes set
  /// later, re-parenting) reads cpuPercent 0 in its first watched sample,
  /// as a new process does, rather than every sample paying one more call
  /// per process on the system for it.
  bool taskInfoComesWithBasicInfo() const override { return false; }
  bool listPids(std::vector<std::uint32_t>& pids) override;
  /// Zombies included (PROC_PIDTBSDINFO with a non-zero argument).
  std::optional<BasicInfo> basicInfo(std::uint32_t pid) override;
  TaskInfo taskInfo(std::uint32_t pid) override;
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
  std::vector<int> pidBuffer_;
  std::vector<std::uint64_t> threadHandles_;
  std::vector<char> argumentBuffer_;
  std::vector<char> pathBuffer_;
  processor_info_array_t processorInfo_ = nullptr;
  mach_msg_type_number_t processorInfoCount_ = 0;
};

}  // namespace sidecar::procinfo
