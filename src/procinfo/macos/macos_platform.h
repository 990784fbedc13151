// The macOS backend of the Platform seam: sysctl (the process table
// KERN_PROC_ALL and the argument area KERN_PROCARGS2), libproc
// (proc_pidinfo, proc_pid_rusage, proc_pidpath) and the Mach host and time
// services. Each operation is one call, or the pair of calls the system
// needs (size then contents, first thread then thread query); the argument
// area is parsed by the shared parseArgumentArea.
//
// The listing reads the whole process table in one call, for processes of
// every user, zombies and kernel_task (pid 0) included; the basic values of
// each listed process are kept from it until the next listing, so basicInfo
// costs no call of its own. (The per-process BSD information would refuse
// other users' processes to a caller that is not root, which the sidecar on
// a Mac is.) The table is read into a buffer of the previous listing's size
// plus room to spare, and sized anew only when the system says it is short.
// While a debugger is attached to a process, the table names the debugger
// as its parent; the backend reports the real parent, which the table keeps
// beside it.
//
// Where the table is refused (a sandbox inherited from the parent
// application), the listing falls back to proc_listallpids and each
// process's BSD information; what that refuses too (other users' processes)
// is left to the path, as the source does with any process whose basic
// values cannot be read. When neither listing works, listPids fails.
//
// Names: the argument area's path, else the executable path, else the
// kernel's short name from the listing (kernel_task, a zombie, a process
// whose executable is gone). An argument area that cannot be read for a
// reason that lasts (pid 0, a zombie, another user's process, a sandbox's
// refusal, an area larger than may be read) is remembered for that process
// (pid and start instant) and not asked for again while it is listed.
//
// Under Rosetta (an x86_64 build on Apple silicon) the time base reads 1/1
// but the task totals stay in native ticks: they are converted with the
// native tick frequency, so that every CPU time is in the one unit the time
// base describes.
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

#include <array>
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
  /// it; keeps each process's basic values for basicInfo. Where it is
  /// refused, every pid the system lists.
  bool listPids(std::vector<std::uint32_t>& pids) override;
  /// From the latest table; a pid it did not hold is read on its own
  /// (KERN_PROC_PID). Zombies and other users' processes included. Without
  /// a table, the BSD information (zombies included; other users' processes
  /// only for root).
  std::optional<BasicInfo> basicInfo(std::uint32_t pid) override;
  std::optional<TaskInfo> taskInfo(std::uint32_t pid) override;
  /// The process's first thread (see thread_handles.h); its times converted
  /// from nanoseconds to Mach absolute-time units, the unit of the task
  /// totals. Empty for a process without threads or unreadable.
  std::optional<ThreadInfo> threadInfo(std::uint32_t pid) override;
  std::optional<DiskCounters> diskCounters(std::uint32_t pid) override;
  /// False, with no call, for a listed process whose area was found
  /// unreadable for good.
  bool readNameAndArguments(std::uint32_t pid, bool wantName, bool wantArguments, std::string& name,
                            std::vector<std::string>& arguments) override;
  /// The executable path's last component; where the path cannot be read,
  /// the kernel's short name from the listing.
  bool readNameFromPath(std::uint32_t pid, std::string& name) override;
  bool processorTicks(std::vector<ProcessorTicks>& ticks) override;
  std::optional<TimeBase> timeBase() override;
  std::uint64_t clockTicksPerSecond() override;
  std::uint64_t absoluteTime() override;

 private:
  /// One process of the latest listing.
  struct Listed {
    std::uint32_t pid = 0;
    /// The basic values are known (always from the table; from the BSD
    /// information once read, without it).
    bool known = false;
    BasicInfo basic;
    /// Every read of it fails, or will: pid 0, a zombie, an exiting process.
    bool withoutReads = false;
    /// The kernel's short name, NUL-terminated.
    std::array<char, 17> shortName{};
  };

  bool readTable(std::vector<std::uint32_t>& pids);
  bool listEveryPid(std::vector<std::uint32_t>& pids);
  /// The entry of `pid` in the latest listing, or null.
  Listed* listedEntry(std::uint32_t pid);
  /// Drops what is remembered of processes no longer listed as they were.
  void forgetUnlisted();
  bool areaRemembered(const Listed& entry) const;
  void rememberArea(const Listed& entry);
  void releaseProcessorInfo();
  std::uint64_t absoluteUnits(std::uint64_t nanoseconds) const;
  std::uint64_t taskUnits(std::uint64_t ticks) const;

  Clock& clock_;
  host_t host_;
  // The time base, read once at construction: what timeBase() reports and
  // what thread times are converted with (1/1 when unreadable).
  std::optional<TimeBase> timeBase_;
  // Under Rosetta, the native ticks per second the task totals count in;
  // 0 when the task totals are already in time-base units.
  std::uint64_t nativeTicksPerSecond_ = 0;
  // The latest process table (its capacity kept: the next read takes the
  // same size plus room to spare), and the processes of the latest listing
  // in ascending order of pid.
  std::vector<struct kinfo_proc> table_;
  std::size_t tableRecords_ = 0;
  bool tableRefused_ = false;
  std::vector<int> pidBuffer_;
  std::vector<Listed> listed_;
  // The processes (pid, start instant) whose argument area is not asked for
  // again, in ascending order.
  std::vector<std::pair<std::uint32_t, std::uint64_t>> unreadableAreas_;
  // At most ARG_MAX + 4 bytes.
  std::vector<char> argumentBuffer_;
  std::vector<char> pathBuffer_;
  processor_info_array_t processorInfo_ = nullptr;
  mach_msg_type_number_t processorInfoCount_ = 0;
};

}  // namespace sidecar::procinfo
