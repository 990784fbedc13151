#include "procinfo/macos/macos_platform.h"

#include <libproc.h>
#include <mach/mach_host.h>
#include <mach/mach_time.h>
#include <mach/processor_info.h>
#include <sys/proc.h>
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

// The process table is read into a buffer of the previous listing's size
// plus this many records, so that processes started since fit without a
// size query of their own. When the system says the buffer is short
// (ENOMEM: it wrote the records that fit), the table is sized and read
// again, at most this many times in all.
constexpr int LISTING_ATTEMPTS = 8;
constexpr std::size_t LISTING_SLACK = 64;

// The argument area is read into a buffer larger than the size learned: a
// reply that fills the buffer may be the tail of a larger area (the system
// answers a short buffer with the area's last bytes, not with an error), so
// it counts as cut short and the area is sized and read again, this many
// times. The system refuses a buffer above ARG_MAX + 4 (the argument count
// comes first), and gives no head of a larger area, only its tail: an area
// that needs more is not read at all.
constexpr int ARGUMENT_ATTEMPTS = 3;
constexpr std::size_t ARGUMENT_SLACK = 1024;
constexpr std::size_t ARGUMENT_LIMIT = static_cast<std::size_t>(ARG_MAX) + sizeof(std::int32_t);

// Apple silicon's tick frequency, for a translated process that cannot read
// hw.tbfrequency (translation happens on Apple silicon only).
constexpr std::uint64_t APPLE_SILICON_TICKS_PER_SECOND = 24'000'000;
constexpr std::uint64_t TICKS_PER_SECOND_LIMIT = 10'000'000'000;
constexpr std::uint64_t NANOSECONDS_PER_SECOND = 1'000'000'000;

constexpr std::uint64_t UNITS_LIMIT = std::numeric_limits<std::uint64_t>::max();

std::optional<TimeBase> readTimeBase() {
  mach_timebase_info_data_t info{};
  if (mach_timebase_info(&info) != KERN_SUCCESS) return std::nullopt;
  return TimeBase{info.numer, info.denom};
}

// An x86_64 build translated by Rosetta reads a time base of 1/1, while the
// task totals stay in the native ticks: their frequency then, else 0. Where
// the question cannot be asked (Intel has no such name; a sandbox may
// refuse it), the process is taken as native.
std::uint64_t translatedTicksPerSecond() {
  int translated = 0;
  std::size_t size = sizeof translated;
  if (sysctlbyname("sysctl.proc_translated", &translated, &size, nullptr, 0) == -1 || translated != 1) return 0;
  // A 64-bit value; a 32-bit reply fills the low half (both targets are
  // little-endian).
  std::uint64_t frequency = 0;
  size = sizeof frequency;
  if (sysctlbyname("hw.tbfrequency", &frequency, &size, nullptr, 0) == -1 || (size != 4 && size != 8) ||
      frequency == 0 || frequency > TICKS_PER_SECOND_LIMIT) {
    return APPLE_SILICON_TICKS_PER_SECOND;
  }
  return frequency;
}

std::uint64_t startInstantOf(std::int64_t seconds, std::int64_t microseconds) {
  if (seconds <= 0) return 0;
  return static_cast<std::uint64_t>(seconds) * 1'000'000 +
         static_cast<std::uint64_t>(std::clamp<std::int64_t>(microseconds, 0, 999'999));
}

BasicInfo basicValues(const struct kinfo_proc& record) {
  BasicInfo basic;
  basic.state = processStateFromStatusCode(static_cast<unsigned char>(record.kp_proc.p_stat));
  // While a debugger is attached the table names it as the parent; the
  // real parent is kept beside it until the debugger detaches.
  const bool traced = (record.kp_proc.p_flag & P_TRACED) != 0 && record.kp_proc.p_oppid > 0;
  const auto parent = static_cast<std::int64_t>(traced ? record.kp_proc.p_oppid : record.kp_eproc.e_ppid);
  basic.parentPid = parent > 0 ? static_cast<std::uint32_t>(parent) : 0;
  const auto seconds = static_cast<std::int64_t>(record.kp_proc.p_starttime.tv_sec);
  const auto microseconds = static_cast<std::int64_t>(record.kp_proc.p_starttime.tv_usec);
  if (seconds > 0) {
    basic.startSeconds = static_cast<std::uint64_t>(seconds);
    basic.startInstant = startInstantOf(seconds, microseconds);
  }
  return basic;
}

BasicInfo basicValues(const struct proc_bsdinfo& info) {
  BasicInfo basic;
  basic.state = processStateFromStatusCode(info.pbi_status);
  basic.parentPid = info.pbi_ppid;
  const std::uint64_t seconds = std::min<std::uint64_t>(info.pbi_start_tvsec, std::numeric_limits<std::int64_t>::max());
  const std::uint64_t microseconds = std::min<std::uint64_t>(info.pbi_start_tvusec, 999'999);
  if (seconds > 0) {
    basic.startSeconds = seconds;
    basic.startInstant = startInstantOf(static_cast<std::int64_t>(seconds), static_cast<std::int64_t>(microseconds));
  }
  return basic;
}

// Copies a short name of at most `size` bytes, NUL-terminated or not.
template <std::size_t N>
void copyShortName(std::array<char, N>& to, const char* from, std::size_t size) {
  const std::size_t length = strnlen(from, std::min(size, N - 1));
  std::memcpy(to.data(), from, length);
  to[length] = '\0';
}

// A failure of the argument area that lasts for the process's life: EINVAL
// (no area: pid 0, a zombie, another user's process) or EPERM (a sandbox).
bool lastingAreaFailure(int error) { return error == EINVAL || error == EPERM; }

// The processor-counter array is fresh virtual memory of infoCount values.
void releaseArray(processor_info_array_t info, mach_msg_type_number_t infoCount) {
  vm_deallocate(mach_task_self(), reinterpret_cast<vm_address_t>(info), infoCount * sizeof(integer_t));
}

}  // namespace

MacosPlatform::MacosPlatform(Clock& clock)
    : clock_(clock),
      host_(mach_host_self()),
      timeBase_(readTimeBase()),
      nativeTicksPerSecond_(translatedTicksPerSecond()),
      pathBuffer_(PROC_PIDPATHINFO_MAXSIZE) {}

MacosPlatform::~MacosPlatform() {
  releaseProcessorInfo();
  if (host_ != MACH_PORT_NULL) mach_port_deallocate(mach_task_self(), host_);
}

bool MacosPlatform::listPids(std::vector<std::uint32_t>& pids) {
  pids.clear();
  listed_.clear();
  if (!tableRefused_ && readTable(pids)) {
    forgetUnlisted();
    return true;
  }
  pids.clear();
  listed_.clear();
  if (listEveryPid(pids)) {
    forgetUnlisted();
    return true;
  }
  unreadableAreas_.clear();
  return false;
}

bool MacosPlatform::readTable(std::vector<std::uint32_t>& pids) {
  int mib[3] = {CTL_KERN, KERN_PROC, KERN_PROC_ALL};
  const auto failed = [this] {
    // A sandbox's refusal lasts; the listing falls back for good.
    if (errno == EPERM) tableRefused_ = true;
    return false;
  };
  bool sizeNeeded = tableRecords_ == 0;
  std::size_t records = tableRecords_ + LISTING_SLACK;
  for (int attempt = 0; attempt < LISTING_ATTEMPTS; ++attempt) {
    if (sizeNeeded) {
      std::size_t size = 0;
      if (sysctl(mib, 3, nullptr, &size, nullptr, 0) == -1) return failed();
      records = size / sizeof(struct kinfo_proc) + LISTING_SLACK;
    }
    table_.resize(records);
    std::size_t bytes = records * sizeof(struct kinfo_proc);
    if (sysctl(mib, 3, table_.data(), &bytes, nullptr, 0) == -1) {
      // Short: processes appeared since the size was learned. Failing here
      // would empty every source's map and reset every CPU baseline, so the
      // table is sized and read again.
      if (errno == ENOMEM) {
        sizeNeeded = true;
        continue;
      }
      return failed();
    }
    const std::size_t count = std::min(bytes / sizeof(struct kinfo_proc), table_.size());
    if (count == 0) return false;
    tableRecords_ = count;
    for (std::size_t i = 0; i < count; ++i) {
      const struct kinfo_proc& record = table_[i];
      if (record.kp_proc.p_pid < 0) continue;
      const auto pid = static_cast<std::uint32_t>(record.kp_proc.p_pid);
      pids.push_back(pid);
      Listed& entry = listed_.emplace_back();
      entry.pid = pid;
      entry.known = true;
      entry.basic = basicValues(record);
      entry.withoutReads = pid == 0 || record.kp_proc.p_stat == SZOMB || (record.kp_proc.p_flag & P_WEXIT) != 0;
      copyShortName(entry.shortName, record.kp_proc.p_comm, sizeof record.kp_proc.p_comm);
    }
    std::sort(listed_.begin(), listed_.end(), [](const Listed& a, const Listed& b) { return a.pid < b.pid; });
    return true;
  }
  return false;
}

bool MacosPlatform::listEveryPid(std::vector<std::uint32_t>& pids) {
  for (int attempt = 0; attempt < LISTING_ATTEMPTS; ++attempt) {
    // The count has room to spare; a listing that fills it may have left
    // processes out, and is taken again.
    const int count = proc_listallpids(nullptr, 0);
    if (count <= 0 || count > std::numeric_limits<int>::max() / static_cast<int>(sizeof(int))) return false;
    pidBuffer_.resize(static_cast<std::size_t>(count));
    const int written = proc_listallpids(pidBuffer_.data(), count * static_cast<int>(sizeof(int)));
    if (written <= 0) return false;
    if (written >= count) continue;
    for (int i = 0; i < written; ++i) {
      if (pidBuffer_[static_cast<std::size_t>(i)] < 0) continue;
      const auto pid = static_cast<std::uint32_t>(pidBuffer_[static_cast<std::size_t>(i)]);
      pids.push_back(pid);
      listed_.emplace_back().pid = pid;
    }
    std::sort(listed_.begin(), listed_.end(), [](const Listed& a, const Listed& b) { return a.pid < b.pid; });
    return true;
  }
  return false;
}

MacosPlatform::Listed* MacosPlatform::listedEntry(std::uint32_t pid) {
  const auto found = std::lower_bound(listed_.begin(), listed_.end(), pid,
                                      [](const Listed& entry, std::uint32_t key) { return entry.pid < key; });
  return found != listed_.end() && found->pid == pid ? &*found : nullptr;
}

void MacosPlatform::forgetUnlisted() {
  std::erase_if(unreadableAreas_, [this](const std::pair<std::uint32_t, std::uint64_t>& area) {
    const Listed* entry = listedEntry(area.first);
    return entry == nullptr || (entry->known && entry->basic.startInstant != area.second);
  });
}

bool MacosPlatform::areaRemembered(const Listed& entry) const {
  return entry.known &&
         std::binary_search(unreadableAreas_.begin(), unreadableAreas_.end(),
                            std::pair{entry.pid, entry.basic.startInstant});
}

void MacosPlatform::rememberArea(const Listed& entry) {
  if (!entry.known) return;
  const std::pair key{entry.pid, entry.basic.startInstant};
  const auto at = std::lower_bound(unreadableAreas_.begin(), unreadableAreas_.end(), key);
  if (at == unreadableAreas_.end() || *at != key) unreadableAreas_.insert(at, key);
}

std::optional<BasicInfo> MacosPlatform::basicInfo(std::uint32_t pid) {
  Listed* entry = listedEntry(pid);
  if (entry != nullptr && entry->known) return entry->basic;
  if (tableRefused_ || (entry != nullptr && !entry->known)) {
    // Listed without the table: the process's BSD information, a zombie's
    // too (a non-zero argument looks for zombies as well).
    struct proc_bsdinfo info;
    std::memset(&info, 0, sizeof info);
    if (proc_pidinfo(static_cast<int>(pid), PROC_PIDTBSDINFO, 1, &info, static_cast<int>(sizeof info)) !=
        static_cast<int>(sizeof info)) {
      return std::nullopt;
    }
    const BasicInfo basic = basicValues(info);
    if (entry != nullptr) {
      entry->known = true;
      entry->basic = basic;
      entry->withoutReads = pid == 0 || info.pbi_status == SZOMB;
      copyShortName(entry->shortName, info.pbi_comm, sizeof info.pbi_comm);
    }
    return basic;
  }
  // Not in the latest table (the caller names a pid of its own): the
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
  task.totalUser = taskUnits(info.pti_total_user);
  task.totalSystem = taskUnits(info.pti_total_system);
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

// Under Rosetta the task totals count native ticks: ticks × 10^9 /
// frequency nanoseconds, then the units of the time base; saturates.
std::uint64_t MacosPlatform::taskUnits(std::uint64_t ticks) const {
  if (nativeTicksPerSecond_ == 0) return ticks;
  const std::uint64_t frequency = nativeTicksPerSecond_;
  const std::uint64_t whole = ticks / frequency;
  if (whole > UNITS_LIMIT / NANOSECONDS_PER_SECOND) return UNITS_LIMIT;
  const std::uint64_t high = whole * NANOSECONDS_PER_SECOND;
  const std::uint64_t low = ticks % frequency * NANOSECONDS_PER_SECOND / frequency;
  return absoluteUnits(high > UNITS_LIMIT - low ? UNITS_LIMIT : high + low);
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
  const Listed* entry = listedEntry(pid);
  if (entry != nullptr && (entry->withoutReads || areaRemembered(*entry))) return false;
  const auto failed = [&](bool lasting) {
    if (lasting && entry != nullptr) rememberArea(*entry);
    return false;
  };
  int mib[3] = {CTL_KERN, KERN_PROCARGS2, static_cast<int>(pid)};
  for (int attempt = 0; attempt < ARGUMENT_ATTEMPTS; ++attempt) {
    std::size_t size = 0;
    if (sysctl(mib, 3, nullptr, &size, nullptr, 0) == -1) return failed(lastingAreaFailure(errno));
    if (size == 0) return false;
    // Larger than the system lets be read whole: a shorter buffer would get
    // its tail, never its head. The caller names it from its path.
    if (size >= ARGUMENT_LIMIT) return failed(true);
    const std::size_t room = std::min(size + ARGUMENT_SLACK, ARGUMENT_LIMIT);
    argumentBuffer_.resize(room);
    std::size_t length = room;
    if (sysctl(mib, 3, argumentBuffer_.data(), &length, nullptr, 0) == -1) return failed(lastingAreaFailure(errno));
    if (length < room) {
      return parseArgumentArea(std::string_view(argumentBuffer_.data(), length), wantName, wantArguments, name,
                               arguments);
    }
    // Full: the area grew (an exec after the size query). What came is its
    // end, never parsed.
  }
  return false;
}

bool MacosPlatform::readNameFromPath(std::uint32_t pid, std::string& name) {
  const Listed* entry = listedEntry(pid);
  if (entry == nullptr || !entry->withoutReads) {
    const int length = proc_pidpath(static_cast<int>(pid), pathBuffer_.data(), PROC_PIDPATHINFO_MAXSIZE);
    if (length > 0) {
      name.assign(lastPathComponent(std::string_view(pathBuffer_.data(), static_cast<std::size_t>(length))));
      return true;
    }
  }
  // No executable (kernel_task), none left (a zombie, an exiting process,
  // an executable deleted or moved), or none shown: the kernel's short name.
  if (entry == nullptr || entry->shortName[0] == '\0') return false;
  name.assign(entry->shortName.data());
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
