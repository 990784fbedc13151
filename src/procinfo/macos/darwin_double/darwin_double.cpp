// The calls of the Darwin declarations in include/, answered from the
// double's Kernel (see darwin_double.h for what each does).
#include "procinfo/macos/darwin_double/darwin_double.h"

#include <sys/resource.h>
#include <sys/sysctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sidecar::darwin_double {

namespace {

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

/// A live process of ours, as the task, thread and rusage reads need.
Process* findReadable(int pid) {
  Process* process = find(pid);
  if (process == nullptr) return nullptr;
  if (zombie(*process)) {
    errno = ESRCH;
    return nullptr;
  }
  if (process->otherUser) {
    errno = EPERM;
    return nullptr;
  }
  return process;
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
  state().calls.bsdInfoArguments.push_back(arg);
  const Process* process = find(pid);
  if (process == nullptr) return 0;
  if ((zombie(*process) && arg == 0) || process->otherUser) {
    errno = zombie(*process) ? ESRCH : EPERM;
    return 0;
  }
  struct proc_bsdinfo info;
  std::memset(&info, 0x5A, sizeof info);  // fields the backend must not read
  info.pbi_status = process->status;
  info.pbi_ppid = process->parentPid;
  info.pbi_start_tvsec = process->startSeconds;
  return copyOut(info, buffer, buffersize);
}

int taskInfo(int pid, void* buffer, int buffersize) {
  ++state().calls.taskInfo;
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
  const Process* process = findReadable(pid);
  if (process == nullptr) return 0;
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
  info.pth_run_state = thread->runState;
  return copyOut(info, buffer, buffersize);
}

}  // namespace

Kernel& kernel() { return state(); }

void reset() {
  for (const auto& [address, bytes] : state().liveArrays) std::free(reinterpret_cast<void*>(address));
  state() = Kernel{};
}

std::string argumentArea(const std::string& path, const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment) {
  std::string area(sizeof(std::int32_t), '\0');
  const auto count = static_cast<std::int32_t>(arguments.size());
  std::memcpy(area.data(), &count, sizeof count);
  area += path;
  area.push_back('\0');
  while (area.size() % 8 != 0) area.push_back('\0');
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

Process ordinaryProcess(std::uint32_t parentPid, std::uint64_t startSeconds, const std::string& name,
                        const std::vector<std::string>& arguments) {
  static std::uint64_t nextHandle = 0x16f000000;
  Process process;
  process.parentPid = parentPid;
  process.startSeconds = startSeconds;
  process.threads.push_back(Thread{nextHandle += 0x1000, TH_STATE_WAITING, 0, 0});
  process.path = "/usr/bin/" + name;
  process.argumentArea = argumentArea(*process.path, arguments);
  return process;
}

}  // namespace sidecar::darwin_double

namespace dd = sidecar::darwin_double;

extern "C" int proc_listallpids(void* buffer, int buffersize) {
  dd::Kernel& k = dd::kernel();
  if (buffer == nullptr) {
    ++k.calls.listAllPidsCounts;
    return static_cast<int>(k.processes.size()) + 20;
  }
  k.calls.listAllPidsBufferSizes.push_back(buffersize);
  if (k.beforeListing) k.beforeListing();
  if (buffersize < 0) {
    errno = EINVAL;
    return 0;
  }
  const std::size_t room = static_cast<std::size_t>(buffersize) / sizeof(int);
  auto* pids = static_cast<int*>(buffer);
  std::size_t written = 0;
  for (const auto& [pid, process] : k.processes) {
    if (written == room) break;
    pids[written++] = pid;
  }
  return static_cast<int>(written);
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
  ++dd::kernel().calls.path;
  if (buffer == nullptr || buffersize < PROC_PIDPATHINFO_SIZE || buffersize > PROC_PIDPATHINFO_MAXSIZE) {
    errno = EINVAL;
    return 0;
  }
  const dd::Process* process = dd::find(pid);
  if (process == nullptr) return 0;
  if (dd::zombie(*process) || !process->path || process->path->size() >= buffersize) {
    errno = ESRCH;
    return 0;
  }
  std::memcpy(buffer, process->path->c_str(), process->path->size() + 1);
  return static_cast<int>(process->path->size());
}

extern "C" int proc_pid_rusage(int pid, int flavor, rusage_info_t* buffer) {
  ++dd::kernel().calls.rusage;
  if (flavor != RUSAGE_INFO_V2 || buffer == nullptr) {
    dd::misuse("proc_pid_rusage with flavor " + std::to_string(flavor));
    errno = EINVAL;
    return -1;
  }
  // A zombie's usage record is kept until it is reaped.
  const dd::Process* process = dd::find(pid);
  if (process == nullptr) return -1;
  if (process->otherUser) {
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

extern "C" int sysctl(int* name, u_int namelen, void* oldp, size_t* oldlenp, void* newp, size_t newlen) {
  dd::Kernel& k = dd::kernel();
  if (name == nullptr || namelen != 3 || name[0] != CTL_KERN || name[1] != KERN_PROCARGS2 || newp != nullptr ||
      newlen != 0 || oldlenp == nullptr) {
    dd::misuse("sysctl other than a KERN_PROCARGS2 read");
    errno = EINVAL;
    return -1;
  }
  k.calls.argumentSizes.push_back(oldp == nullptr ? 0 : *oldlenp);
  const dd::Process* process = dd::find(name[2]);
  if (process == nullptr) return -1;
  if (dd::zombie(*process) || process->otherUser || !process->argumentArea) {
    errno = EINVAL;
    return -1;
  }
  const std::string& area = *process->argumentArea;
  if (oldp == nullptr) {
    *oldlenp = area.size() + 4;
    return 0;
  }
  if (*oldlenp < area.size()) {
    errno = ENOMEM;
    return -1;
  }
  std::memset(oldp, 'J', *oldlenp);  // what lies past the true length
  std::memcpy(oldp, area.data(), area.size());
  *oldlenp = area.size();
  return 0;
}
