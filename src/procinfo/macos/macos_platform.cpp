#include "procinfo/macos/macos_platform.h"

#include <libproc.h>
#include <mach/mach_host.h>
#include <mach/mach_time.h>
#include <mach/processor_info.h>
#include <sys/proc_info.h>
#include <sys/resource.h>
#include <sys/syslimits.h>
#include <sys/sysctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

#include "procinfo/argument_area.h"
#include "procinfo/macos/thread_handles.h"

namespace sidecar::procinfo {

namespace {

// The process table may grow between the size query and the read, which
// then fails for want of room; it is read again, with the size asked anew
// and this many records to spare, this many times.
constexpr int LISTING_ATTEMPTS = 8;
constexpr std::size_t LISTING_SLACK = 64;

// The argument area is read into a buffer larger than the size learned: a
// reply that fills the buffer may be the tail of a larger area (the system
// answers a short buffer with the area's last bytes, not with an error), so
// it counts as cut short and the area is sized and read again, this many
// times. Never more than ARG_MAX bytes, which the system refuses.
constexpr int ARGUMENT_ATTEMPTS = 3;
constexpr std::size_t ARGUMENT_SLACK = 1024;
constexpr std::size_t ARGUMENT_LIMIT = ARG_MAX;

constexpr std::uint64_t UNITS_LIMIT = std::numeric_limits<std::uint64_t>::max();

std::optional<TimeBase> readTimeBase() {
  mach_timebase_info_data_t info{};
  if (mach_timebase_info(&info) != KERN_SUCCESS) return std::nullopt;
  return TimeBase{info.numer, info.denom};
}

BasicInfo basicValues(const struct kinfo_proc& record) {
  BasicInfo basic;
  basic.state = processStateFromStatusCode(static_cast<unsigned char>(record.kp_proc.p_stat));
  basic.parentPid = record.kp_eproc.e_ppid > 0 ? static_cast<std::uint32_t>(record.kp_eproc.e_ppid) : 0;
  const auto seconds = static_cast<std::int64_t>(record.kp_proc.p_starttime.tv_sec);
  const auto microseconds = static_cast<std::int64_t>(record.kp_proc.p_starttime.tv_usec);
  if (seconds > 0) {
    basic.startSeconds = static_cast<std::uint64_t>(seconds);
    basic.startInstant = basic.startSeconds * 1'000'000 +
                         static_cast<std::uint64_t>(std::clamp<std::int64_t>(microseconds, 0, 999'999));
  }
  return basic;
}

// The processor-counter array is fresh virtual memory of infoCount values.
void releaseArray(processor_info_array_t info, mach_msg_type_number_t infoCount) {
  vm_deallocate(mach_task_self(), reinterpret_cast<vm_address_t>(info), infoCount * sizeof(integer_t));
}

}  // namespace

MacosPlatform::MacosPlatform(Clock& clock)
    : clock_(clock),
      host_(mach_host_self()),
      timeBase_(readTimeBase()),
      pathBuffer_(PROC_PIDPATHINFO_MAXSIZE) {}

MacosPlatform::~MacosPlatform() {
  releaseProcessorInfo();
  if (host_ != MACH_PORT_NULL) mach_port_deallocate(mach_task_self(), host_);
}

bool MacosPlatform::listPids(std::vector<std::uint32_t>& pids) {
  pids.clear();
  listed_.clear();
  int mib[3] = {CTL_KERN, KERN_PROC, KERN_PROC_ALL};
  for (int attempt = 0; attempt < LISTING_ATTEMPTS; ++attempt) {
    std::size_t size = 0;
    if (sysctl(mib, 3, nullptr, &size, nullptr, 0) == -1) return false;
    table_.resize(size / sizeof(struct kinfo_proc) + LISTING_SLACK);
    std::size_t bytes = table_.size() * sizeof(struct kinfo_proc);
    if (sysctl(mib, 3, table_.data(), &bytes, nullptr, 0) == -1) {
      // Processes appeared after the size query. Failing here would empty
      // every source's map and reset every CPU baseline, so read again.
      if (errno == ENOMEM) continue;
      return false;
    }
    const std::size_t count = std::min(bytes / sizeof(struct kinfo_proc), table_.size());
    if (count == 0) return false;
    for (std::size_t i = 0; i < count; ++i) {
      const struct kinfo_proc& record = table_[i];
      if (record.kp_proc.p_pid < 0) continue;
      const auto pid = static_cast<std::uint32_t>(record.kp_proc.p_pid);
      pids.push_back(pid);
      listed_.emplace_back(pid, basicValues(record));
    }
    std::sort(listed_.begin(), listed_.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return true;
  }
  return false;
}

std::optional<BasicInfo> MacosPlatform::basicInfo(std::uint32_t pid) {
  const auto found = std::lower_bound(listed_.begin(), listed_.end(), pid,
                                      [](const auto& entry, std::uint32_t key) { return entry.first < key; });
  if (found != listed_.end() && found->first == pid) return found->second;
  // Not in the latest listing (the caller names a pid of its own): the
  // process's own record, with the same values.
  int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, static_cast<int>(pid)};
  struct kinfo_proc record;
  std::memset(&record, 0, sizeof record);
  std::size_t bytes = sizeof record;
  if (sysctl(mib, 4, &record, &bytes, nullptr, 0) == -1 || bytes != sizeof record ||
      record.kp_proc.p_pid != static_cast<int>(pid)) {
    return std::nullopt;
  }
  return basicValues(record);
}

std::optional<TaskInfo> MacosPlatform::taskInfo(std::uint32_t pid) {
  // The call returns the bytes it copied, and 0 or less when it fails (a
  // zombie, another user's process without root).
  struct proc_taskinfo info;
  std::memset(&info, 0, sizeof info);
  const int size = static_cast<int>(sizeof info);
  if (proc_pidinfo(static_cast<int>(pid), PROC_PIDTASKINFO, 0, &info, size) != size) return std::nullopt;
  TaskInfo task;
  task.totalUser = info.pti_total_user;
  task.totalSystem = info.pti_total_system;
  task.residentSize = info.pti_resident_size;
  task.virtualSize = info.pti_virtual_size;
  return task;
}

std::optional<ThreadInfo> MacosPlatform::threadInfo(std::uint32_t pid) {
  // The query's argument is a thread handle, not an index (0 matches no
  // thread): the process's first thread stands for the process.
  const std::optional<std::uint64_t> handle = firstThreadHandle(static_cast<int>(pid));
  if (!handle) return std::nullopt;
  struct proc_threadinfo info;
  std::memset(&info, 0, sizeof info);
  if (proc_pidinfo(static_cast<int>(pid), PROC_PIDTHREADINFO, *handle, &info,
                   static_cast<int>(sizeof info)) <= 0) {
    return std::nullopt;
  }
  ThreadInfo thread;
  thread.runState = info.pth_run_state;
  thread.userTime = absoluteUnits(info.pth_user_time);
  thread.systemTime = absoluteUnits(info.pth_system_time);
  return thread;
}

// Thread times come in nanoseconds, task totals in Mach absolute-time units
// (numer/denom ns each). units = ns × denom / numer, rounded down, in two
// parts so that no product overflows; saturates.
std::uint64_t MacosPlatform::absoluteUnits(std::uint64_t nanoseconds) const {
  const TimeBase base = timeBase_.value_or(TimeBase{});
  if (base.numer == 0 || base.denom == 0) return nanoseconds;
  const std::uint64_t numer = base.numer;
  const std::uint64_t denom = base.denom;
  const std::uint64_t whole = nanoseconds / numer;
  if (whole > UNITS_LIMIT / denom) return UNITS_LIMIT;
  const std::uint64_t high = whole * denom;
  const std::uint64_t low = nanoseconds % numer * denom / numer;
  return high > UNITS_LIMIT - low ? UNITS_LIMIT : high + low;
}

std::optional<DiskCounters> MacosPlatform::diskCounters(std::uint32_t pid) {
  struct rusage_info_v2 info;
  std::memset(&info, 0, sizeof info);
  if (proc_pid_rusage(static_cast<int>(pid), RUSAGE_INFO_V2, reinterpret_cast<rusage_info_t*>(&info)) < 0) {
    return std::nullopt;
  }
  return DiskCounters{info.ri_diskio_bytesread, info.ri_diskio_byteswritten};
}

bool MacosPlatform::readNameAndArguments(std::uint32_t pid, bool wantName, bool wantArguments, std::string& name,
                                         std::vector<std::string>& arguments) {
  int mib[3] = {CTL_KERN, KERN_PROCARGS2, static_cast<int>(pid)};
  for (int attempt = 0; attempt < ARGUMENT_ATTEMPTS; ++attempt) {
    std::size_t size = 0;
    if (sysctl(mib, 3, nullptr, &size, nullptr, 0) == -1 || size == 0) return false;
    const std::size_t room = std::min(size + ARGUMENT_SLACK, ARGUMENT_LIMIT);
    argumentBuffer_.resize(room);
    std::size_t length = room;
    if (sysctl(mib, 3, argumentBuffer_.data(), &length, nullptr, 0) == -1) return false;
    if (length < room) {
      return parseArgumentArea(std::string_view(argumentBuffer_.data(), length), wantName, wantArguments, name,
                               arguments);
    }
    // Full: the area grew (an exec after the size query) or is larger than
    // may be read. What came is its end, never parsed.
  }
  return false;
}

bool MacosPlatform::readNameFromPath(std::uint32_t pid, std::string& name) {
  const int length = proc_pidpath(static_cast<int>(pid), pathBuffer_.data(), PROC_PIDPATHINFO_MAXSIZE);
  if (length <= 0) return false;
  name.assign(lastPathComponent(std::string_view(pathBuffer_.data(), static_cast<std::size_t>(length))));
  return true;
}

void MacosPlatform::releaseProcessorInfo() {
  if (processorInfo_ == nullptr) return;
  releaseArray(processorInfo_, processorInfoCount_);
  processorInfo_ = nullptr;
  processorInfoCount_ = 0;
}

bool MacosPlatform::processorTicks(std::vector<ProcessorTicks>& ticks) {
  ticks.clear();
  natural_t processors = 0;
  processor_info_array_t info = nullptr;
  mach_msg_type_number_t infoCount = 0;
  if (host_processor_info(host_, PROCESSOR_CPU_LOAD_INFO, &processors, &info, &infoCount) != KERN_SUCCESS ||
      info == nullptr) {
    return false;
  }
  // Only as many processors as the array holds counters for are read.
  const natural_t usable = std::min<natural_t>(processors, infoCount / CPU_STATE_MAX);
  if (usable == 0) {
    releaseArray(info, infoCount);
    return false;
  }
  const auto* load = reinterpret_cast<const processor_cpu_load_info*>(info);
  for (natural_t i = 0; i < usable; ++i) {
    ProcessorTicks processor;
    processor.user = load[i].cpu_ticks[CPU_STATE_USER];
    processor.system = load[i].cpu_ticks[CPU_STATE_SYSTEM];
    processor.idle = load[i].cpu_ticks[CPU_STATE_IDLE];
    processor.nice = load[i].cpu_ticks[CPU_STATE_NICE];
    processor.number = i;
    ticks.push_back(processor);
  }
  // The new array replaces the previous one, which is released now.
  releaseProcessorInfo();
  processorInfo_ = info;
  processorInfoCount_ = infoCount;
  return true;
}

std::optional<TimeBase> MacosPlatform::timeBase() { return timeBase_; }

std::uint64_t MacosPlatform::clockTicksPerSecond() {
  const long ticks = sysconf(_SC_CLK_TCK);
  return ticks > 0 ? static_cast<std::uint64_t>(ticks) : 100;
}

std::uint64_t MacosPlatform::absoluteTime() { return mach_absolute_time(); }

std::unique_ptr<Platform> makeSystemPlatform(Clock& clock) { return std::make_unique<MacosPlatform>(clock); }

const char* systemPlatformName() { return "macos"; }

const char* systemArchName() {
#if defined(__aarch64__) || defined(__arm64__)
  return "aarch64";
#elif defined(__x86_64__)
  return "x86_64";
#else
  return "unknown";
#endif
}

}  // namespace sidecar::procinfo
