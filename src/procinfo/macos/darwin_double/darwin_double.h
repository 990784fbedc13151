// A scriptable double of the Darwin kernel and libraries behind the calls
// the macOS backend makes, so that the backend's own code runs in the tests
// on any system.
//
// The declarations in include/ are the project's own, written from
// docs/darwin-facts.md (names, values, types, sizes, offsets, static_asserts
// of each record's size and of the offsets used); no Apple header is
// copied. Beyond the sheet they declare, as the Mach headers have them:
// mach_task_self() as a macro over the variable mach_task_self_, the
// signatures of mach_port_deallocate and vm_deallocate with their port and
// vm_address_t/vm_size_t (uintptr_t) types, MACH_PORT_NULL, and the KERN_*
// failure codes the double returns.
//
// The build gives that folder to the compiler as a system include folder,
// ahead of the C library's, and compiles macos_platform.cpp unchanged
// against it. The calls are defined in darwin_double.cpp and answer from the
// Kernel below as the sheet says the real kernel does, no kinder:
//   - sysctl KERN_PROC_ALL writes one kinfo_proc per process, zombies
//     included, for any user: newest first (by start time), zombies last;
//     its size query gives the size needed plus some slack, and a buffer too
//     small fails with ENOMEM. KERN_PROC_PID writes one record, or nothing
//     (length 0, success) for a pid that does not exist;
//   - PROC_PIDTASKINFO, PROC_PIDLISTTHREADS and PROC_PIDTHREADINFO do not
//     find zombies; proc_pid_rusage does (its totals outlive the process);
//   - PROC_PIDLISTTHREADS writes thread handles, at most as many as the
//     buffer holds, the first thread first, and refuses a buffer below 8
//     bytes; PROC_PIDTHREADINFO takes a handle, and fails for any other
//     argument (0 included); a stopped process's threads all read
//     TH_STATE_WAITING;
//   - another user's process, unless Kernel::root: task and thread
//     information and rusage fail with EPERM, the argument area with EINVAL;
//     the path and the process table work;
//   - KERN_PROCARGS2: the size query gives the area's exact length; a buffer
//     above ARG_MAX is refused with EINVAL; a buffer smaller than the area
//     gets the count and then the *last* bytes of the rest, and the call
//     succeeds with the buffer full; otherwise the read sets the true length
//     (the rest of the buffer is left as junk); zombies fail with EINVAL;
//   - host_processor_info hands out fresh page-aligned memory that must be
//     released with vm_deallocate and its exact size; mach_host_self hands
//     out a port reference to be released with mach_port_deallocate.
// Every wrong use (a release of memory not handed out, a wrong size, a
// second release, an unknown flavor, ...) is recorded in Kernel::misuse.
//
// One test at a time: reset() before each, and check misuse and the
// outstanding arrays and ports after.
#pragma once

#include <libproc.h>
#include <mach/mach.h>
#include <mach/mach_time.h>
#include <sys/proc.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sidecar::darwin_double {

/// The port names the double hands out.
constexpr mach_port_t TASK_PORT = 0x203;
constexpr mach_port_t HOST_PORT = 0x103;

/// One thread.
struct Thread {
  /// The user-space thread address; never 0 for a thread.
  std::uint64_t handle = 0;
  std::int32_t runState = TH_STATE_WAITING;
  std::uint64_t userNanoseconds = 0;
  std::uint64_t systemNanoseconds = 0;
};

/// One process.
struct Process {
  /// p_stat; SZOMB makes the process a zombie.
  std::uint32_t status = SRUN;
  std::uint32_t parentPid = 1;
  std::uint64_t startSeconds = 0;
  std::uint32_t startMicroseconds = 0;
  /// Another user's process: refused to a caller that is not root.
  bool otherUser = false;
  /// The task's threads, the first one first.
  std::vector<Thread> threads;
  std::uint64_t virtualSize = 0;
  std::uint64_t residentSize = 0;
  /// Mach absolute-time units.
  std::uint64_t totalUser = 0;
  std::uint64_t totalSystem = 0;
  std::uint64_t bytesRead = 0;
  std::uint64_t bytesWritten = 0;
  /// The KERN_PROCARGS2 bytes; empty: the read fails.
  std::optional<std::string> argumentArea;
  /// The executable path; empty: proc_pidpath fails.
  std::optional<std::string> path;
};

/// What the backend asked for.
struct Calls {
  std::size_t processTableSizes = 0;              ///< KERN_PROC_ALL size queries
  std::vector<std::size_t> processTableReads;     ///< *oldlenp of each KERN_PROC_ALL read
  std::vector<int> processReads;                  ///< the pid of each KERN_PROC_PID read
  std::vector<int> listThreadsBufferSizes;        ///< bytes
  std::vector<std::uint64_t> threadInfoArguments;
  std::size_t taskInfo = 0;
  std::size_t rusage = 0;
  std::size_t path = 0;
  std::vector<std::size_t> argumentSizes;         ///< *oldlenp of each KERN_PROCARGS2 call (0: size query)
  std::size_t processorInfo = 0;
};

struct Kernel {
  std::map<int, Process> processes;
  /// The caller is root: other users' processes read as one's own.
  bool root = false;
  /// Called at the start of every KERN_PROC_ALL read with a buffer: the
  /// place to start processes between the size query and the listing.
  std::function<void()> beforeListing;
  /// Called after every KERN_PROCARGS2 size query: the place for a process
  /// to exec between the size query and the read.
  std::function<void()> afterArgumentSize;
  /// Called at the end of every PROC_PIDLISTTHREADS: the place to end a
  /// thread between the listing and the thread query.
  std::function<void()> afterThreadListing;

  /// Per processor the four cpu_ticks, indexed by CPU_STATE_*.
  std::vector<std::array<unsigned int, CPU_STATE_MAX>> processors =
      std::vector<std::array<unsigned int, CPU_STATE_MAX>>(4);
  /// Anything else than KERN_SUCCESS: host_processor_info fails with it.
  kern_return_t processorInfoResult = KERN_SUCCESS;
  /// Empty: mach_timebase_info fails. Apple silicon's by default.
  std::optional<mach_timebase_info_data_t> timebase = mach_timebase_info_data_t{125, 3};
  std::uint64_t absoluteTime = 0;

  Calls calls;
  /// Each wrong use of a call, described.
  std::vector<std::string> misuse;
  /// The processor arrays handed out and not yet released: address, bytes.
  std::map<std::uintptr_t, std::size_t> liveArrays;
  std::size_t arraysHandedOut = 0;
  std::size_t arraysReleased = 0;
  std::size_t hostPortsHandedOut = 0;
  std::size_t hostPortsReleased = 0;
};

/// The one kernel the calls answer from.
Kernel& kernel();

/// The environment variable that makes the caller root ("root"); anything
/// else, or none, makes the caller a normal user, as the sidecar is on a Mac.
/// The build runs the backend's tests both ways.
constexpr const char* CALLER_VARIABLE = "SIDECAR_DARWIN_DOUBLE_CALLER";

/// A fresh kernel: no process, four idle processors, time base 125/3,
/// nothing handed out (arrays still held are freed, without counting), the
/// caller root or not as CALLER_VARIABLE says.
void reset();

/// The bytes of a KERN_PROCARGS2 area: the count (i32, host byte order),
/// the executable path and its NUL, NUL padding up to a multiple of 8
/// counted from offset 4 (the start of the strings), the arguments each with
/// its NUL, then the environment strings.
std::string argumentArea(const std::string& path, const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment = {});

/// A live process that reads fully: status SRUN, one waiting thread, an
/// argument area and a path "/usr/bin/<name>".
Process ordinaryProcess(std::uint32_t parentPid, std::uint64_t startSeconds, const std::string& name,
                        const std::vector<std::string>& arguments = {});

}  // namespace sidecar::darwin_double
