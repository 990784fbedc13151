#include "procinfo/macos/macos_platform.h"

#include <libproc.h>
#include <mach/mach_host.h>
#include <mach/mach_time.h>
#include <mach/processor_info.h>
#include <sys/proc_info.h>
#include <sys/resource.h>
#include <sys/sysctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include "procinfo/argument_area.h"
#include "procinfo/macos/thread_handles.h"

namespace sidecar::procinfo {

namespace {

// A listing that fills its whole buffer may have missed processes that
// appeared after the count; it is retried with more room this many times.
constexpr int LISTING_ATTEMPTS = 8;
constexpr int LISTING_SLACK = 64;

// The basic-information read finds zombies only with a non-zero argument.
constexpr std::uint64_t ZOMBIES_TOO = 1;

constexpr std::uint64_t UNITS_LIMIT = std::numeric_limits<std::uint64_t>::max();

std::optional<TimeBase> readTimeBase() {
  mach_timebase_info_data_t info{};
  if (mach_timebase_info(&info) != KERN_SUCCESS) return std::nullopt;
  return TimeBase{info.numer, info.denom};
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
  const int count = proc_listallpids(nullptr, 0);
  if (count < 1) return false;
  int room = count;
  for (int attempt = 0; attempt < LISTING_ATTEMPTS; ++attempt) {
    pidBuffer_.resize(static_cast<std::size_t>(room));
    const int listed = proc_listallpids(pidBuffer_.data(), room * static_cast<int>(sizeof(int)));
    if (listed < 1) return false;
    if (listed < room) {
      for (int i = 0; i < listed; ++i) {
        pids.push_back(static_cast<std::uint32_t>(pidBuffer_[static_cast<std::size_t>(i)]));
      }
      return true;
    }
    // The buffer is full: processes appeared between the count and the
    // list. Failing here would empty every source's map and reset every
    // CPU baseline, so list again with more room.
    room = listed + LISTING_SLACK;
  }
  return false;
}

std::optional<BasicInfo> MacosPlatform::basicInfo(std::uint32_t pid) {
  struct proc_bsdinfo info;
  std::memset(&info, 0, sizeof info);
  const int size = static_cast<int>(sizeof info);
  if (proc_pidinfo(static_cast<int>(pid), PROC_PIDTBSDINFO, ZOMBIES_TOO, &info, size) != size) return std::nullopt;
  BasicInfo basic;
  basic.state = processStateFromStatusCode(info.pbi_status);
  basic.parentPid = info.pbi_ppid;
  basic.startSeconds = info.pbi_start_tvsec;
  return basic;
}

TaskInfo MacosPlatform::taskInfo(std::uint32_t pid) {
  // Zeroed first and not checked: an unreadable process reads as zeros.
  struct proc_taskinfo info;
  std::memset(&info, 0, sizeof info);
  proc_pidinfo(static_cast<int>(pid), PROC_PIDTASKINFO, 0, &info, static_cast<int>(sizeof info));
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
  if (!listThreadHandles(static_cast<int>(pid), threadHandles_)) return std::nullopt;
  struct proc_threadinfo info;
  std::memset(&info, 0, sizeof info);
  if (proc_pidinfo(static_cast<int>(pid), PROC_PIDTHREADINFO, threadHandles_.front(), &info,
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
  std::size_t size = 0;
  if (sysctl(mib, 3, nullptr, &size, nullptr, 0) == -1 || size == 0) return false;
  argumentBuffer_.resize(size);
  // The size asked for is an upper bound; the read sets the true length.
  if (sysctl(mib, 3, argumentBuffer_.data(), &size, nullptr, 0) == -1) return false;
  return parseArgumentArea(std::string_view(argumentBuffer_.data(), size), wantName, wantArguments, name, arguments);
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
