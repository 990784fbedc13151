// The calls of the Darwin declarations in include/, answered from the
// double's Kernel (see darwin_double.h for what each does).
#include "procinfo/macos/darwin_double/darwin_double.h"

#include <sys/resource.h>
#include <sys/syslimits.h>
#include <sys/sysctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace sidecar::darwin_double {

namespace {

constexpr std::uint64_t NATIVE_TICKS_PER_SECOND = 24'000'000;
constexpr std::uint64_t INTEL_TICKS_PER_SECOND = 1'000'000'000;
// The size query of the process table leaves room for this many more.
constexpr std::size_t TABLE_SPARE_RECORDS = 5;
// And proc_listallpids's count for this many more pids.
constexpr int LIST_SPARE_PIDS = 20;
constexpr std::size_t COUNT = sizeof(std::int32_t);

Kernel& state() {
  static Kernel instance;
  return instance;
}

void misuse(const std::string& what) { state().misuse.push_back(what); }

/// The process of `pid`, or null with errno ESRCH.
Process* find(int pid) {
  const auto found = state().processes.find(pid);
  if (found == state().processes.end()) {
    errno = ESRCH;
    return nullptr;
  }
  return &found->second;
}

bool zombie(const Process& process) { return process.status == SZOMB; }

/// Another user's process, which a caller that is not root may not read.
bool refused(const Process& process) { return process.otherUser && !state().root; }

/// False, with errno EPERM, when the sandbox refuses the call.
bool allowed(bool refusedBySandbox) {
  if (!refusedBySandbox) return true;
  errno = EPERM;
  return false;
}

/// A live process of ours, as the task, thread and rusage reads need.
Process* findReadable(int pid) {
  Process* process = find(pid);
  if (process == nullptr) return nullptr;
  if (zombie(*process) || process->exiting) {
    errno = ESRCH;
    return nullptr;
  }
  if (refused(*process)) {
    errno = EPERM;
    return nullptr;
  }
  return process;
}

/// The parent the kernel reports: the tracer while a debugger is attached.
std::uint32_t reportedParent(const Process& process) { return process.tracer.value_or(process.parentPid); }

/// The processes any listing shows, in the table's order: newest first,
/// zombies last; never one still being created.
std::vector<std::pair<int, const Process*>> listingOrder() {
  std::vector<std::pair<int, const Process*>> order;
  for (const auto& [pid, process] : state().processes) {
    if (process.status != SIDL) order.emplace_back(pid, &process);
  }
  std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
    if (zombie(*a.second) != zombie(*b.second)) return zombie(*b.second);
    if (a.second->startSeconds != b.second->startSeconds) return a.second->startSeconds > b.second->startSeconds;
    if (a.second->startMicroseconds != b.second->startMicroseconds) {
      return a.second->startMicroseconds > b.second->startMicroseconds;
    }
    return a.first > b.first;
  });
  return order;
}

template <typename Record>
int copyOut(const Record& record, void* buffer, int buffersize) {
  if (buffer == nullptr || buffersize < static_cast<int>(sizeof record)) {
    errno = ENOMEM;
    return 0;
  }
  std::memcpy(buffer, &record, sizeof record);
  return static_cast<int>(sizeof record);
}

int bsdInfo(int pid, std::uint64_t arg, void* buffer, int buffersize) {
  state().calls.bsdInfo.push_back(pid);
  if (!allowed(state().sandbox.bsdInfo)) return 0;
  const Process* process = find(pid);
  if (process == nullptr) return 0;
  // A zombie is looked for only with a non-zero argument.
  if ((zombie(*process) && arg == 0) || process->exiting || process->status == SIDL) {
    errno = ESRCH;
    return 0;
  }
  if (refused(*process)) {
    errno = EPERM;
    return 0;
  }
  struct proc_bsdinfo info;
  std::memset(&info, 0x5A, sizeof info);
  info.pbi_status = process->status;
  info.pbi_ppid = reportedParent(*process);
  std::memset(info.pbi_comm, 0, sizeof info.pbi_comm);
  std::memcpy(info.pbi_comm, process->shortName.data(), std::min(process->shortName.size(), sizeof info.pbi_comm));
  info.pbi_start_tvsec = process->startSeconds;
  info.pbi_start_tvusec = process->startMicroseconds;
  return copyOut(info, buffer, buffersize);
}

int taskInfo(int pid, void* buffer, int buffersize) {
  ++state().calls.taskInfo;
  if (!allowed(state().sandbox.taskInfo)) return 0;
  const Process* process = findReadable(pid);
  if (process == nullptr) return 0;
  struct proc_taskinfo info;
  std::memset(&info, 0x5A, sizeof info);
  info.pti_virtual_size = process->virtualSize;
  info.pti_resident_size = process->residentSize;
  info.pti_total_user = process->totalUser;
  info.pti_total_system = process->totalSystem;
  return copyOut(info, buffer, buffersize);
}

int listThreads(int pid, void* buffer, int buffersize) {
  state().calls.listThreadsBufferSizes.push_back(buffersize);
  if (!allowed(state().sandbox.threads)) return 0;
  const Process* process = findReadable(pid);
  if (process == nullptr) return 0;
  if (buffer == nullptr || buffersize < PROC_PIDLISTTHREADS_SIZE) {
    errno = EINVAL;
    return 0;
  }
  const std::size_t room = static_cast<std::size_t>(buffersize) / sizeof(std::uint64_t);
  const std::size_t count = std::min(room, process->threads.size());
  auto* handles = static_cast<std::uint64_t*>(buffer);
  for (std::size_t i = 0; i < count; ++i) handles[i] = process->threads[i].handle;
  if (state().afterThreadListing) state().afterThreadListing();
  return static_cast<int>(count * sizeof(std::uint64_t));
}

int threadInfo(int pid, std::uint64_t arg, void* buffer, int buffersize) {
  state().calls.threadInfoArguments.push_back(arg);
  if (!allowed(state().sandbox.threads)) return 0;
  const Process* process = findReadable(pid);
  if (process == nullptr) return 0;
  // The argument is compared with each thread's address; 0 matches only a
  // thread that has not set its address yet.
  const auto thread = std::find_if(process->threads.begin(), process->threads.end(),
                                   [arg](const Thread& t) { return t.handle == arg; });
  if (thread == process->threads.end()) {
    errno = ESRCH;
    return 0;
  }
  struct proc_threadinfo info;
  std::memset(&info, 0x5A, sizeof info);
  info.pth_user_time = thread->userNanoseconds;
  info.pth_system_time = thread->systemNanoseconds;
  // A stopped task's threads wait; only the BSD status says it is stopped.
  info.pth_run_state = process->status == SSTOP ? TH_STATE_WAITING : thread->runState;
  return copyOut(info, buffer, buffersize);
}

}  // namespace

std::size_t Calls::processCalls() const {
  return processTableSizes + processTableReads.size() + processReads.size() + listAllPids.size() + bsdInfo.size() +
         listThreadsBufferSizes.size() + threadInfoArguments.size() + taskInfo + rusage + path + argumentSizes.size();
}

Kernel& kernel() { return state(); }

void reset() {
  for (const auto& [address, bytes] : state().liveArrays) std::free(reinterpret_cast<void*>(address));
  state() = Kernel{};
  const char* caller = std::getenv(CALLER_VARIABLE);
  state().root = caller != nullptr && std::strcmp(caller, "root") == 0;
}

void useMachine(Machine machine) {
  state().machine = machine;
  state().timebase = machine == Machine::appleSilicon ? mach_timebase_info_data_t{125, 3}
                                                      : mach_timebase_info_data_t{1, 1};
}

std::string argumentArea(const std::string& path, const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment) {
  std::string area(COUNT, '\0');
  const auto count = static_cast<std::int32_t>(arguments.size());
  std::memcpy(area.data(), &count, sizeof count);
  area += path;
  area.push_back('\0');
  while ((area.size() - sizeof count) % 8 != 0) area.push_back('\0');
  for (const std::string& text : arguments) {
    area += text;
    area.push_back('\0');
  }
  for (const std::string& text : environment) {
    area += text;
    area.push_back('\0');
  }
  return area;
}

void setArgumentArea(Process& process, const std::string& path, const std::vector<std::string>& arguments,
                     const std::vector<std::string>& environment) {
  process.argumentArea = argumentArea(path, arguments, environment);
  process.environmentBytes = process.argumentArea->size() - argumentArea(path, arguments).size();
}

Process ordinaryProcess(std::uint32_t parentPid, std::uint64_t startSeconds, const std::string& name,
                        const std::vector<std::string>& arguments) {
  static std::uint64_t nextHandle = 0x16f000000;
  Process process;
  process.parentPid = parentPid;
  process.startSeconds = startSeconds;
  process.shortName = name;
  process.threads.push_back(Thread{nextHandle += 0x1000, TH_STATE_WAITING, 0, 0});
  process.path = "/usr/bin/" + name;
  process.argumentArea = argumentArea(*process.path, arguments);
  return process;
}

Process launchd(std::uint64_t startSeconds) {
  Process process = ordinaryProcess(0, startSeconds, "launchd", {"/sbin/launchd"});
  process.path = "/sbin/launchd";
  process.argumentArea = argumentArea(*process.path, {"/sbin/launchd"});
  process.otherUser = true;
  return process;
}

Process kernelTask(std::uint64_t startSeconds) {
  Process process = ordinaryProcess(0, startSeconds, "kernel_task");
  process.threads.front().runState = TH_STATE_RUNNING;
  process.path.reset();
  process.argumentArea.reset();
  process.otherUser = true;
  return process;
}

}  // namespace sidecar::darwin_double

namespace dd = sidecar::darwin_double;

extern "C" int proc_listallpids(void* buffer, int buffersize) {
  dd::Kernel& k = dd::kernel();
  k.calls.listAllPids.push_back(buffer == nullptr ? 0 : buffersize);
  if (!dd::allowed(k.sandbox.listAllPids)) return 0;
  const auto order = dd::listingOrder();
  if (buffer == nullptr) return static_cast<int>(order.size()) + dd::LIST_SPARE_PIDS;
  if (buffersize < 0) {
    errno = EINVAL;
    return 0;
  }
  const std::size_t room = static_cast<std::size_t>(buffersize) / sizeof(int);
  const std::size_t count = std::min(room, order.size());
  auto* pids = static_cast<int*>(buffer);
  for (std::size_t i = 0; i < count; ++i) pids[i] = order[i].first;
  return static_cast<int>(count);
}

extern "C" int proc_pidinfo(int pid, int flavor, uint64_t arg, void* buffer, int buffersize) {
  switch (flavor) {
    case PROC_PIDTBSDINFO: return dd::bsdInfo(pid, arg, buffer, buffersize);
    case PROC_PIDTASKINFO: return dd::taskInfo(pid, buffer, buffersize);
    case PROC_PIDLISTTHREADS: return dd::listThreads(pid, buffer, buffersize);
    case PROC_PIDTHREADINFO: return dd::threadInfo(pid, arg, buffer, buffersize);
    default:
      dd::misuse("proc_pidinfo with flavor " + std::to_string(flavor));
      errno = EINVAL;
      return 0;
  }
}

extern "C" int proc_pidpath(int pid, void* buffer, uint32_t buffersize) {
  dd::Kernel& k = dd::kernel();
  ++k.calls.path;
  if (buffer == nullptr || buffersize < PROC_PIDPATHINFO_SIZE || buffersize > PROC_PIDPATHINFO_MAXSIZE) {
    errno = EINVAL;
    return 0;
  }
  if (!dd::allowed(k.sandbox.path)) return 0;
  const dd::Process* process = dd::find(pid);
  if (process == nullptr) return 0;
  // A zombie, pid 0 and an exiting process have no executable left to name.
  if (dd::zombie(*process) || process->exiting || !process->path || process->path->size() >= buffersize) {
    errno = ESRCH;
    return 0;
  }
  std::memcpy(buffer, process->path->c_str(), process->path->size() + 1);
  return static_cast<int>(process->path->size());
}

extern "C" int proc_pid_rusage(int pid, int flavor, rusage_info_t* buffer) {
  dd::Kernel& k = dd::kernel();
  ++k.calls.rusage;
  if (flavor != RUSAGE_INFO_V2 || buffer == nullptr) {
    dd::misuse("proc_pid_rusage with flavor " + std::to_string(flavor));
    errno = EINVAL;
    return -1;
  }
  if (!dd::allowed(k.sandbox.rusage)) return -1;
  // A zombie's usage record is kept until it is reaped.
  const dd::Process* process = dd::find(pid);
  if (process == nullptr) return -1;
  if (process->exiting) {
    errno = ESRCH;
    return -1;
  }
  if (dd::refused(*process)) {
    errno = EPERM;
    return -1;
  }
  struct rusage_info_v2 info;
  std::memset(&info, 0x5A, sizeof info);
  info.ri_diskio_bytesread = process->bytesRead;
  info.ri_diskio_byteswritten = process->bytesWritten;
  std::memcpy(buffer, &info, sizeof info);
  return 0;
}

namespace sidecar::darwin_double {
namespace {

/// One process-table record; the fields the backend must not read are junk.
struct kinfo_proc processRecord(int pid, const Process& process) {
  struct kinfo_proc record;
  std::memset(&record, 0x5A, sizeof record);
  record.kp_proc.p_starttime.tv_sec = static_cast<std::int64_t>(process.startSeconds);
  record.kp_proc.p_starttime.tv_usec = static_cast<std::int32_t>(process.startMicroseconds);
  record.kp_proc.p_flag = (process.tracer ? P_TRACED : 0) | (process.exiting ? P_WEXIT : 0);
  record.kp_proc.p_stat = static_cast<char>(process.status);
  record.kp_proc.p_pid = pid;
  record.kp_proc.p_oppid = process.tracer ? static_cast<pid_t>(process.parentPid) : 0;
  std::memset(record.kp_proc.p_comm, 0, sizeof record.kp_proc.p_comm);
  std::memcpy(record.kp_proc.p_comm, process.shortName.data(),
              std::min(process.shortName.size(), sizeof record.kp_proc.p_comm - 1));
  record.kp_eproc.p_ruid = process.otherUser ? 0 : 501;
  record.kp_eproc.cr_uid = record.kp_eproc.p_ruid;
  record.kp_eproc.e_ppid = static_cast<std::int32_t>(reportedParent(process));
  return record;
}

/// KERN_PROC_ALL: every process, of every user, newest first, zombies last.
int processTable(void* oldp, std::size_t* oldlenp) {
  Kernel& k = state();
  if (oldp == nullptr) {
    ++k.calls.processTableSizes;
    if (!allowed(k.sandbox.processTable)) return -1;
    *oldlenp = (listingOrder().size() + TABLE_SPARE_RECORDS) * sizeof(struct kinfo_proc);
    return 0;
  }
  k.calls.processTableReads.push_back(*oldlenp);
  if (!allowed(k.sandbox.processTable)) return -1;
  if (k.beforeListing) k.beforeListing();
  const auto order = listingOrder();
  // A short buffer is filled with the records that fit, and the call fails.
  const std::size_t fit = std::min(order.size(), *oldlenp / sizeof(struct kinfo_proc));
  auto* records = static_cast<struct kinfo_proc*>(oldp);
  for (std::size_t i = 0; i < fit; ++i) records[i] = processRecord(order[i].first, *order[i].second);
  *oldlenp = fit * sizeof(struct kinfo_proc);
  if (fit < order.size()) {
    errno = ENOMEM;
    return -1;
  }
  return 0;
}

/// KERN_PROC_PID: one record, or none (and success) for a pid not in use.
int processEntry(int pid, void* oldp, std::size_t* oldlenp) {
  Kernel& k = state();
  if (oldp == nullptr) {
    *oldlenp = sizeof(struct kinfo_proc);
    return 0;
  }
  k.calls.processReads.push_back(pid);
  if (!allowed(k.sandbox.processTable)) return -1;
  const auto found = k.processes.find(pid);
  if (found == k.processes.end() || found->second.status == SIDL) {
    *oldlenp = 0;
    return 0;
  }
  if (*oldlenp < sizeof(struct kinfo_proc)) {
    errno = ENOMEM;
    return -1;
  }
  *static_cast<struct kinfo_proc*>(oldp) = processRecord(pid, found->second);
  *oldlenp = sizeof(struct kinfo_proc);
  return 0;
}

int argumentAreaRead(int pid, void* oldp, std::size_t* oldlenp) {
  Kernel& k = state();
  k.calls.argumentSizes.push_back(oldp == nullptr ? 0 : *oldlenp);
  if (!allowed(k.sandbox.argumentArea)) return -1;
  const Process* process = find(pid);
  if (process == nullptr) return -1;
  // No area at all: a zombie, pid 0 (no user stack), an exiting process;
  // and another user's restricted process cannot even be sized.
  if (zombie(*process) || process->exiting || !process->argumentArea || (refused(*process) && process->restricted)) {
    errno = EINVAL;
    return -1;
  }
  // A restricted process's area leaves out the environment; its size is
  // rounded up to 4.
  std::string area = *process->argumentArea;
  if (process->restricted) area.resize(area.size() - std::min(area.size(), process->environmentBytes));
  if (oldp == nullptr) {
    *oldlenp = process->restricted ? (area.size() + 3) / 4 * 4 : area.size();
    if (k.afterArgumentSize) k.afterArgumentSize();
    return 0;
  }
  // Only the read is refused for another user's process.
  if (refused(*process)) {
    errno = EINVAL;
    return -1;
  }
  // The count comes first: what remains of the buffer may not exceed ARG_MAX.
  if (*oldlenp < COUNT || *oldlenp - COUNT > static_cast<std::size_t>(ARG_MAX) || area.size() < COUNT) {
    errno = EINVAL;
    return -1;
  }
  auto* out = static_cast<char*>(oldp);
  if (*oldlenp < area.size()) {
    // Not refused: the count, then as much of the end of the rest as fits.
    std::memcpy(out, area.data(), COUNT);
    const std::size_t tail = *oldlenp - COUNT;
    std::memcpy(out + COUNT, area.data() + area.size() - tail, tail);
    return 0;
  }
  std::memset(out, 'J', *oldlenp);  // what lies past the true length
  std::memcpy(out, area.data(), area.size());
  *oldlenp = area.size();
  return 0;
}

/// Writes `value` as the integer type of the name's reply.
template <typename Value>
int integerReply(Value value, void* oldp, std::size_t* oldlenp) {
  if (oldp == nullptr) {
    *oldlenp = sizeof value;
    return 0;
  }
  if (*oldlenp < sizeof value) {
    errno = ENOMEM;
    return -1;
  }
  std::memcpy(oldp, &value, sizeof value);
  *oldlenp = sizeof value;
  return 0;
}

}  // namespace
}  // namespace sidecar::darwin_double

extern "C" int sysctl(int* name, u_int namelen, void* oldp, size_t* oldlenp, void* newp, size_t newlen) {
  if (name == nullptr || newp != nullptr || newlen != 0 || oldlenp == nullptr || namelen < 3 || name[0] != CTL_KERN) {
    dd::misuse("sysctl other than a read under CTL_KERN");
    errno = EINVAL;
    return -1;
  }
  if (name[1] == KERN_PROCARGS2 && namelen == 3) return dd::argumentAreaRead(name[2], oldp, oldlenp);
  if (name[1] == KERN_PROC && name[2] == KERN_PROC_ALL && (namelen == 3 || (namelen == 4 && name[3] == 0))) {
    return dd::processTable(oldp, oldlenp);
  }
  if (name[1] == KERN_PROC && name[2] == KERN_PROC_PID && namelen == 4) {
    return dd::processEntry(name[3], oldp, oldlenp);
  }
  dd::misuse("sysctl with a name the backend has no use for");
  errno = EINVAL;
  return -1;
}

extern "C" int sysctlbyname(const char* name, void* oldp, size_t* oldlenp, void* newp, size_t newlen) {
  dd::Kernel& k = dd::kernel();
  if (name == nullptr || newp != nullptr || newlen != 0 || oldlenp == nullptr) {
    dd::misuse("sysctlbyname other than a read");
    errno = EINVAL;
    return -1;
  }
  k.calls.sysctlNames.emplace_back(name);
  if (!dd::allowed(k.sandbox.sysctlByName)) return -1;
  if (std::strcmp(name, "sysctl.proc_translated") == 0) {
    if (k.machine == dd::Machine::intel) {
      errno = ENOENT;
      return -1;
    }
    return dd::integerReply(static_cast<int>(k.machine == dd::Machine::translated), oldp, oldlenp);
  }
  if (std::strcmp(name, "hw.tbfrequency") == 0) {
    const std::uint64_t frequency =
        k.machine == dd::Machine::intel ? dd::INTEL_TICKS_PER_SECOND : dd::NATIVE_TICKS_PER_SECOND;
    return dd::integerReply(static_cast<std::int64_t>(frequency), oldp, oldlenp);
  }
  dd::misuse(std::string("sysctlbyname of ") + name);
  errno = ENOENT;
  return -1;
}
