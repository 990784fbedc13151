#include "procinfo/linux/linux_platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "procinfo/argument_area.h"
#include "procinfo/linux/boot_instant.h"
#include "procinfo/linux/pidfd_exit_watch.h"

namespace sidecar::procinfo {

namespace {

constexpr std::size_t LINK_CAPACITY = 4096;

}  // namespace

LinuxPlatform::LinuxPlatform(Clock& clock, const char* procRoot, std::optional<std::size_t> keptOpenBudget)
    : clock_(clock),
      root_(procRoot),
      descriptorBudget_(keptOpenBudget ? *keptOpenBudget : defaultKeptOpenBudget()),
      files_(root_, descriptorBudget_ - descriptorBudget_ / 2),
      exitWatchBudget_(descriptorBudget_ / 2) {
  const long ticks = sysconf(_SC_CLK_TCK);
  if (ticks > 0) ticksPerSecond_ = static_cast<std::uint64_t>(ticks);
  const long page = sysconf(_SC_PAGESIZE);
  if (page > 0) pageSize_ = static_cast<std::uint64_t>(page);
  if (const auto instant = readBootInstant()) {
    bootInstant_ = *instant;
  } else if (readSystemStat(fileBuffer_)) {
    // Without the boot-time clock, the boot second of /proc/stat is the
    // best there is.
    bootInstant_ = std::chrono::seconds(parseBootTime(fileBuffer_.view()).value_or(0));
  }
}

const char* LinuxPlatform::pidPath(std::uint32_t pid, std::string_view leaf) { return formatPidPath(path_, pid, leaf); }

bool LinuxPlatform::readSystemStat(ReadBuffer& buffer) {
  if (root_.readHeldSystemStat(buffer)) return true;
  Descriptor fresh = files_.openFile("stat");
  if (!fresh.valid() || !readWhole(fresh.get(), buffer)) return false;
  root_.holdSystemStat(std::move(fresh));
  return true;
}

std::unique_ptr<ExitWatch> LinuxPlatform::makeExitWatch() {
  // The epoll set takes one descriptor besides the pidfds.
  if (!root_.usable() || exitWatchBudget_ < 2 || !pidfdsAvailable()) return nullptr;
  return std::make_unique<PidfdExitWatch>(exitWatchBudget_ - 1, files_, kernelMarksReapOnPidfd());
}

bool LinuxPlatform::listPids(std::vector<std::uint32_t>& pids) {
  statPid_.reset();
  bool listed = root_.listPids(pids);
  if (!listed && !root_.holding() && isDescriptorShortage(errno)) {
    // The directory is opened for each listing now: make room for it.
    files_.releaseKeptFiles();
    listed = root_.listPids(pids);
  }
  if (!listed || pids.empty()) return false;
  files_.keepOnly(pids);
  std::erase_if(exitedLeaders_, [&pids](const auto& entry) {
    return std::find(pids.begin(), pids.end(), entry.first) == pids.end();
  });
  return true;
}

const ProcStat* LinuxPlatform::loadStat(std::uint32_t pid, bool fresh) {
  if (fresh || statPid_ != pid) {
    statPid_ = pid;
    stat_.reset();
    if (files_.read(pid, ProcFile::stat, statBuffer_)) stat_ = parseProcStat(statBuffer_.view());
  }
  return stat_ ? &*stat_ : nullptr;
}

std::optional<BasicInfo> LinuxPlatform::basicInfo(std::uint32_t pid) {
  const ProcStat* stat = loadStat(pid, true);
  const bool leaderExited = stat != nullptr && stat->state == 'Z' && stat->threadCount > 1;
  if (!leaderExited && !exitedLeaders_.empty()) exitedLeaders_.erase(pid);
  if (stat == nullptr) return std::nullopt;
  BasicInfo basic;
  basic.state = processStateFromStateLetter(stat->state);
  // A zombie with more than one thread is a process whose leader has exited
  // while other threads run on: one of those says what the process does.
  // Only then are the threads read, so the common path stays one file. The
  // thread found stands for the process for as long as it lives; the
  // threads are looked through again only when it has gone.
  if (leaderExited) {
    const LiveThread* live = rereadLiveThread(pid);
    if (live == nullptr) live = findLiveThread(pid);
    if (live != nullptr) basic.state = processStateFromStateLetter(live->state);
  }
  basic.parentPid = stat->parentPid;
  basic.startSeconds = startSecondAfterBoot(bootInstant_, stat->startTicks, ticksPerSecond_);
  basic.startInstant = stat->startTicks;
  return basic;
}

std::optional<TaskInfo> LinuxPlatform::taskInfo(std::uint32_t pid) {
  const ProcStat* stat = loadStat(pid, false);
  if (stat == nullptr) return std::nullopt;
  TaskInfo task;
  task.totalUser = stat->userTicks;
  task.totalSystem = stat->systemTicks;
  task.residentSize = stat->residentPages * pageSize_;
  task.virtualSize = stat->virtualBytes;
  // The process's CPU times count every thread, the exited leader's too;
  // its sizes read 0 once the leader has gone, a live thread's do not.
  if (const LiveThread* live = liveThreadOf(pid)) {
    task.residentSize = live->residentPages * pageSize_;
    task.virtualSize = live->virtualBytes;
  }
  return task;
}

const LinuxPlatform::LiveThread* LinuxPlatform::findLiveThread(std::uint32_t pid) {
  // The thread ids first, so that the directory is closed before any
  // thread's file is opened: one descriptor at a time.
  tids_.clear();
  {
    Descriptor directory = files_.openFile(pidPath(pid, "task"));
    if (!directory.valid()) return nullptr;
    const std::unique_ptr<DIR, DirCloser> dir(fdopendir(directory.get()));
    if (!dir) return nullptr;
    directory.release();  // the DIR owns it now
    while (const dirent* entry = readdir(dir.get())) {
      std::uint32_t tid = 0;
      if (parsePid(entry->d_name, tid) && tid != pid) tids_.push_back(tid);
    }
  }
  // The first live thread stands for the process, or the first running one
  // if any runs: a process some thread of which runs is running.
  std::optional<LiveThread> chosen;
  for (const std::uint32_t tid : tids_) {
    const Descriptor file = files_.openFile(threadPath(pid, tid, "stat"));
    if (!file.valid() || !readWhole(file.get(), threadBuffer_)) continue;
    const std::optional<ProcStat> stat = parseProcStat(threadBuffer_.view());
    if (!stat || stat->state == 'Z' || stat->state == 'X' || stat->state == 'x') continue;
    if (!chosen || (chosen->state != 'R' && stat->state == 'R')) {
      chosen = LiveThread{tid, stat->state, stat->virtualBytes, stat->residentPages};
    }
    if (chosen->state == 'R') break;
  }
  if (!chosen) return nullptr;
  return &(exitedLeaders_[pid] = *chosen);
}

const LinuxPlatform::LiveThread* LinuxPlatform::rereadLiveThread(std::uint32_t pid) {
  const auto kept = exitedLeaders_.find(pid);
  if (kept == exitedLeaders_.end()) return nullptr;
  const Descriptor file = files_.openFile(threadPath(pid, kept->second.tid, "stat"));
  std::optional<ProcStat> stat;
  if (file.valid() && readWhole(file.get(), threadBuffer_)) stat = parseProcStat(threadBuffer_.view());
  if (!stat || stat->state == 'Z' || stat->state == 'X' || stat->state == 'x') {
    exitedLeaders_.erase(kept);
    return nullptr;
  }
  kept->second.state = stat->state;
  kept->second.virtualBytes = stat->virtualBytes;
  kept->second.residentPages = stat->residentPages;
  return &kept->second;
}

const LinuxPlatform::LiveThread* LinuxPlatform::liveThreadOf(std::uint32_t pid) const {
  if (exitedLeaders_.empty()) return nullptr;
  const auto found = exitedLeaders_.find(pid);
  return found == exitedLeaders_.end() ? nullptr : &found->second;
}

bool LinuxPlatform::namesTheRunningFile(const char* exe, std::string_view target) {
  // The kernel marks the link of a deleted executable with " (deleted)",
  // but a file may carry that in its name too: the target is the file's
  // own name when, suffix and all, it names the very file that runs.
  if (withoutDeletedSuffix(target).size() == target.size()) return true;
  struct stat running {};
  struct stat named {};
  const std::string path(target);
  const std::string link(exe);  // exe may live in path_, which stat reuses
  return root_.statFollowing(link.c_str(), running) && ::stat(path.c_str(), &named) == 0 &&
         running.st_dev == named.st_dev && running.st_ino == named.st_ino;
}

const char* LinuxPlatform::threadPath(std::uint32_t pid, std::uint32_t tid, std::string_view leaf) {
  char* end = std::to_chars(path_, path_ + 16, pid).ptr;
  std::memcpy(end, "/task/", 6);
  end = std::to_chars(end + 6, end + 22, tid).ptr;
  *end++ = '/';
  std::memcpy(end, leaf.data(), leaf.size());
  end[leaf.size()] = '\0';
  return path_;
}

std::optional<ThreadInfo> LinuxPlatform::threadInfo(std::uint32_t /*pid*/) { return std::nullopt; }

std::optional<DiskCounters> LinuxPlatform::diskCounters(std::uint32_t pid) {
  if (!files_.read(pid, ProcFile::io, fileBuffer_)) return std::nullopt;
  return parseProcIo(fileBuffer_.view());
}

bool LinuxPlatform::readName(std::uint32_t pid, std::string& name) {
  {
    linkBuffer_.resize(LINK_CAPACITY);
    const LiveThread* live = liveThreadOf(pid);
    const char* exe = live != nullptr ? threadPath(pid, live->tid, "exe") : pidPath(pid, "exe");
    const ssize_t length = root_.readLink(exe, linkBuffer_.data(), linkBuffer_.size());
    if (length > 0) {
      const std::string_view target(linkBuffer_.data(), static_cast<std::size_t>(length));
      const std::string_view last =
          lastPathComponent(namesTheRunningFile(exe, target) ? target : withoutDeletedSuffix(target));
      if (!last.empty()) {
        name.assign(last);
        return true;
      }
    }
  }
  // Kernel threads have no executable, and other users' links are closed to
  // us: their short name stands, whole (a kernel thread's may hold '/').
  const ProcStat* stat = loadStat(pid, false);
  if (stat == nullptr) return false;
  name.assign(stat->comm);
  return true;
}

bool LinuxPlatform::readNameAndArguments(std::uint32_t pid, bool wantName, bool wantArguments, std::string& name,
                                         std::vector<std::string>& arguments) {
  if (wantArguments) {
    if (const LiveThread* live = liveThreadOf(pid)) {
      // The exited leader's cmdline reads empty; a live thread's holds the
      // process's arguments.
      const Descriptor file = files_.openFile(threadPath(pid, live->tid, "cmdline"));
      if (!file.valid() || !commandLine_.readFile(file.get(), fileBuffer_, arguments)) return false;
    } else if (!commandLine_.read(files_, pid, fileBuffer_, arguments)) {
      return false;
    }
  }
  if (wantName && !readName(pid, name)) {
    // The process has gone since its stat was read: an empty name now, and
    // another try at the next refresh.
    name.clear();
  }
  return true;
}

bool LinuxPlatform::readNameFromPath(std::uint32_t pid, std::string& name) { return readName(pid, name); }

bool LinuxPlatform::processorTicks(std::vector<ProcessorTicks>& ticks) {
  ticks.clear();
  return readSystemStat(fileBuffer_) && parseProcessorLines(fileBuffer_.view(), ticks);
}

std::optional<TimeBase> LinuxPlatform::timeBase() {
  // One CPU-time unit is one clock tick: 1e9 / ticks-per-second ns.
  return TimeBase{1'000'000'000U, static_cast<std::uint32_t>(ticksPerSecond_)};
}

std::uint64_t LinuxPlatform::absoluteTime() {
  const auto ns = clock_.monotonicNow().count();
  const auto nanoseconds = static_cast<std::uint64_t>(ns < 0 ? 0 : ns);
  return nanoseconds / 1'000'000'000U * ticksPerSecond_ + nanoseconds % 1'000'000'000U * ticksPerSecond_ / 1'000'000'000U;
}

std::unique_ptr<Platform> makeSystemPlatform(Clock& clock) { return std::make_unique<LinuxPlatform>(clock); }

const char* systemPlatformName() { return "linux"; }

const char* systemArchName() {
#if defined(__x86_64__)
  return "x86_64";
#elif defined(__aarch64__)
  return "aarch64";
#else
  return "unknown";
#endif
}

}  // namespace sidecar::procinfo
