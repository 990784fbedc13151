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
// Kernel below as the sheet says the real kernel does:
//   - PROC_PIDTBSDINFO finds a zombie only with a non-zero argument; no
//     other read looks zombies up, so a zombie has no threads, task
//     information, argument area or path (its rusage record stays, which
//     the sheet does not say and nothing here depends on);
//   - PROC_PIDLISTTHREADS writes thread handles, at most as many as the
//     buffer holds, the first thread first, and refuses a buffer below 8
//     bytes; PROC_PIDTHREADINFO takes a handle, and fails for any other
//     argument (0 included);
//   - another user's process: BSD, task and thread information, rusage and
//     the argument area fail, the path works;
//   - the KERN_PROCARGS2 size query gives the area's length plus 4, and the
//     read sets the true length (the rest of the buffer is left as junk);
//   - proc_listallpids with a null buffer gives the count plus 20;
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
  /// pbi_status; SZOMB makes the process a zombie.
  std::uint32_t status = SRUN;
  std::uint32_t parentPid = 1;
  std::uint64_t startSeconds = 0;
  /// Another user's process (the tests are not root).
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
  std::size_t listAllPidsCounts = 0;              ///< with a null buffer
  std::vector<int> listAllPidsBufferSizes;        ///< bytes, with a buffer
  std::vector<std::uint64_t> bsdInfoArguments;
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
  /// Called at the start of every proc_listallpids with a buffer: the place
  /// to start processes between the count and the listing.
  std::function<void()> beforeListing;
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

/// A fresh kernel: no process, four idle processors, time base 125/3,
/// nothing handed out (arrays still held are freed, without counting).
void reset();

/// The bytes of a KERN_PROCARGS2 area: the count (i32, host byte order),
/// the executable path and its NUL, NUL padding to a multiple of 8, the
/// arguments each with its NUL, then the environment strings.
std::string argumentArea(const std::string& path, const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment = {});

/// A live process that reads fully: status SRUN, one waiting thread, an
/// argument area and a path "/usr/bin/<name>".
Process ordinaryProcess(std::uint32_t parentPid, std::uint64_t startSeconds, const std::string& name,
                        const std::vector<std::string>& arguments = {});

}  // namespace sidecar::darwin_double
