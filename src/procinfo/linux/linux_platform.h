// The Linux backend of the Platform seam: every value comes from /proc.
//
// Cost is kept to the reads the values need. Files are opened relative to one
// descriptor of /proc held from construction on and read into buffers that
// are reused across processes and refreshes. /proc/stat (processor counters)
// is held open too, so that the CPU interval does not wait for a free
// descriptor; when descriptors are so few that holding these two leaves none
// to read a process with, both are let go (proc_root.h). The listing is one
// getdents64 into a large buffer.
//
// The files read at every refresh stay open between refreshes, within a
// budget of descriptors (kept_open_files.h): /proc/PID/stat, io and cmdline
// of the processes read at every refresh (the watched ones); they are closed
// when a listing no longer shows their pid or when they are no longer read,
// and all of them when descriptors run short. The exit watch
// (pidfd_exit_watch.h), which lets the sampling source leave unwatched
// processes unread, holds one pidfd per process; the descriptors budgeted go
// half to it and half to the kept files.
//
// /proc/PID/stat is read once per process per refresh (by basicInfo); the
// task information and the short name come from that same reading. A process
// whose leader thread has exited while other threads run on (its stat says
// zombie and counts more than one thread) is read from a live thread: the
// state, the sizes, the command line and the executable come from
// /proc/PID/task/TID/, the CPU times still from /proc/PID/stat, which counts
// every thread; only such a process costs the extra reads. The boot
// instant is read once, at construction, with its fraction of a second
// (boot_instant.h), so that a process's start second (the second in which
// boot instant + start ticks lies) is the second it really started in and
// never moves, even when the wall clock is stepped later.
//
// Several sources may share one platform (the sampler's and a process
// table's): the kept files are keyed by pid, and every source lists before it
// reads, so each sees the processes that exist now.
//
// Owned by its creator (makeSystemPlatform); one thread at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "procinfo/linux/command_line_reader.h"
#include "procinfo/linux/kept_open_files.h"
#include "procinfo/linux/proc_files.h"
#include "procinfo/linux/proc_root.h"
#include "procinfo/platform.h"

namespace sidecar::procinfo {

class LinuxPlatform final : public Platform {
 public:
  /// Opens /proc (`procRoot`, another mount point for tests) and reads the
  /// boot instant. When /proc cannot be opened every read fails: the listing
  /// first, so every source on it stays empty. At most `keptOpenBudget`
  /// descriptors are kept open between refreshes; when empty, the open-file
  /// limit is raised to its hard maximum and the descriptors free under it,
  /// but a reserve, are used (defaultKeptOpenBudget).
  explicit LinuxPlatform(Clock& clock, const char* procRoot = "/proc",
                         std::optional<std::size_t> keptOpenBudget = std::nullopt);

  Clock& clock() override { return clock_; }
  bool stateFollowsLatestRefresh() const override { return true; }
  /// One /proc/PID/stat reading gives both (taskInfo reuses basicInfo's).
  bool taskInfoComesWithBasicInfo() const override { return true; }
  /// Pidfds in an epoll set, when the kernel offers pidfd_open and the
  /// budget leaves descriptors for them; else none.
  std::unique_ptr<ExitWatch> makeExitWatch() override;
  bool listPids(std::vector<std::uint32_t>& pids) override;
  std::optional<BasicInfo> basicInfo(std::uint32_t pid) override;
  std::optional<TaskInfo> taskInfo(std::uint32_t pid) override;
  /// Linux has no per-process thread query: always empty.
  std::optional<ThreadInfo> threadInfo(std::uint32_t pid) override;
  std::optional<DiskCounters> diskCounters(std::uint32_t pid) override;
  /// Arguments from /proc/PID/cmdline, read no further than the command
  /// text can use (command_line_reader.h); the name from /proc/PID/exe, else the
  /// short name of /proc/PID/stat taken whole. Reads nothing when neither is
  /// wanted.
  bool readNameAndArguments(std::uint32_t pid, bool wantName, bool wantArguments, std::string& name,
                            std::vector<std::string>& arguments) override;
  /// The name from /proc/PID/exe, else the short name.
  bool readNameFromPath(std::uint32_t pid, std::string& name) override;
  bool processorTicks(std::vector<ProcessorTicks>& ticks) override;
  std::optional<TimeBase> timeBase() override;
  std::uint64_t clockTicksPerSecond() override { return ticksPerSecond_; }
  std::uint64_t absoluteTime() override;

  /// The boot instant since the Unix epoch, as read at construction.
  std::chrono::nanoseconds bootInstant() const { return bootInstant_; }
  /// Descriptors of /proc/PID files kept open now, and the most allowed
  /// (0 once descriptors have run short).
  std::size_t keptOpenCount() const { return files_.openCount(); }
  std::size_t keptOpenBudget() const { return files_.budget(); }

 private:
  /// "PID/leaf", in path_.
  const char* pidPath(std::uint32_t pid, std::string_view leaf);
  /// Reads /proc/stat whole into `buffer` through the held descriptor,
  /// opening it again when that fails.
  bool readSystemStat(ReadBuffer& buffer);
  /// The stat of `pid`: read afresh when `fresh`, else the cached reading
  /// of this pid when there is one.
  const ProcStat* loadStat(std::uint32_t pid, bool fresh);
  /// The name from the exe link, else the short name; false when neither.
  bool readName(std::uint32_t pid, std::string& name);

  /// A live thread that stands for a process whose leader has exited (its
  /// stat then says zombie and reads sizes of 0, and its cmdline and exe
  /// read empty) while other threads run on.
  struct LiveThread {
    std::uint32_t tid = 0;
    char state = '?';
    std::uint64_t virtualBytes = 0;
    std::uint64_t residentPages = 0;
  };
  /// Looks through the threads of `pid` for one that has not exited and
  /// records it in exitedLeaders_; null when there is none.
  const LiveThread* findLiveThread(std::uint32_t pid);
  /// Reads again the live thread recorded for `pid` at an earlier refresh;
  /// null (and the record dropped) when there is none or it has exited.
  const LiveThread* rereadLiveThread(std::uint32_t pid);
  /// The live thread recorded for `pid` by this refresh's basicInfo; null
  /// for every ordinary process.
  const LiveThread* liveThreadOf(std::uint32_t pid) const;
  /// Whether `target`, read from the link `exe`, is the name of the file
  /// the process runs as it stands (a file may be named "x (deleted)"),
  /// rather than the name of a deleted file with the kernel's mark.
  bool namesTheRunningFile(const char* exe, std::string_view target);
  /// "PID/task/TID/leaf", in path_.
  const char* threadPath(std::uint32_t pid, std::uint32_t tid, std::string_view leaf);

  Clock& clock_;
  // Opened before files_ counts the free descriptors.
  ProcRoot root_;
  std::uint64_t ticksPerSecond_ = 100;
  std::uint64_t pageSize_ = 4096;
  std::chrono::nanoseconds bootInstant_{0};
  // The descriptors budgeted for keeping: half for the exit watch, the
  // rest for the kept files.
  std::size_t descriptorBudget_ = 0;
  KeptOpenFiles files_;
  std::size_t exitWatchBudget_ = 0;

  char path_[64] = {};
  ReadBuffer statBuffer_;
  ReadBuffer fileBuffer_;
  CommandLineReader commandLine_;
  std::string linkBuffer_;
  std::optional<std::uint32_t> statPid_;  // whose stat statBuffer_ holds
  std::optional<ProcStat> stat_;          // its parse; empty when unreadable
  // Processes whose leader has exited while other threads run, by pid,
  // with the thread that stands for each, kept while the thread lives and
  // the pid is listed; usually empty.
  std::unordered_map<std::uint32_t, LiveThread> exitedLeaders_;
  std::vector<std::uint32_t> tids_;
  ReadBuffer threadBuffer_;
};

}  // namespace sidecar::procinfo
