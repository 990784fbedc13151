#include "procinfo/linux/linux_platform.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "procinfo/argument_area.h"

namespace sidecar::procinfo {

namespace {

constexpr std::size_t LINK_CAPACITY = 4096;

}  // namespace

LinuxPlatform::LinuxPlatform(Clock& clock, const char* procRoot, std::optional<std::size_t> keptOpenBudget)
    : clock_(clock), root_(procRoot), files_(root_, keptOpenBudget ? *keptOpenBudget : defaultKeptOpenBudget()) {
  const long ticks = sysconf(_SC_CLK_TCK);
  if (ticks > 0) ticksPerSecond_ = static_cast<std::uint64_t>(ticks);
  const long page = sysconf(_SC_PAGESIZE);
  if (page > 0) pageSize_ = static_cast<std::uint64_t>(page);
  if (readSystemStat(fileBuffer_)) bootTime_ = parseBootTime(fileBuffer_.view()).value_or(0);
}

const char* LinuxPlatform::pidPath(std::uint32_t pid, std::string_view leaf) { return formatPidPath(path_, pid, leaf); }

bool LinuxPlatform::readSystemStat(ReadBuffer& buffer) {
  if (root_.readHeldSystemStat(buffer)) return true;
  Descriptor fresh = files_.openFile("stat");
  if (!fresh.valid() || !readWhole(fresh.get(), buffer)) return false;
  root_.holdSystemStat(std::move(fresh));
  return true;
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
  if (stat == nullptr) return std::nullopt;
  BasicInfo basic;
  basic.state = processStateFromStateLetter(stat->state);
  basic.parentPid = stat->parentPid;
  basic.startSeconds = bootTime_ + stat->startTicks / ticksPerSecond_;
  basic.startInstant = stat->startTicks;
  return basic;
}

TaskInfo LinuxPlatform::taskInfo(std::uint32_t pid) {
  const ProcStat* stat = loadStat(pid, false);
  if (stat == nullptr) return {};
  TaskInfo task;
  task.totalUser = stat->userTicks;
  task.totalSystem = stat->systemTicks;
  task.residentSize = stat->residentPages * pageSize_;
  task.virtualSize = stat->virtualBytes;
  return task;
}

std::optional<ThreadInfo> LinuxPlatform::threadInfo(std::uint32_t /*pid*/) { return std::nullopt; }

std::optional<DiskCounters> LinuxPlatform::diskCounters(std::uint32_t pid) {
  if (!files_.read(pid, ProcFile::io, fileBuffer_)) return std::nullopt;
  return parseProcIo(fileBuffer_.view());
}

bool LinuxPlatform::readName(std::uint32_t pid, std::string& name) {
  {
    linkBuffer_.resize(LINK_CAPACITY);
    const ssize_t length = root_.readLink(pidPath(pid, "exe"), linkBuffer_.data(), linkBuffer_.size());
    if (length > 0) {
      const std::string_view target(linkBuffer_.data(), static_cast<std::size_t>(length));
      const std::string_view last = lastPathComponent(withoutDeletedSuffix(target));
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
    if (!commandLine_.read(files_, pid, fileBuffer_, arguments)) return false;
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
