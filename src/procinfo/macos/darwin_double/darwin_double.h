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
//   - sysctl KERN_PROC_ALL writes one kinfo_proc per process, zombies and
//     pid 0 included, never a process still being created (SIDL), for any
//     user: newest first (by start time), zombies last. Its size query gives
//     the size needed plus 5 spare records; a buffer too small is filled
//     with the records that fit and the call fails with ENOMEM.
//     KERN_PROC_PID writes one record, or nothing (length 0, success) for a
//     pid that does not exist. A traced process's record has P_TRACED, the
//     tracer as e_ppid and its real parent in p_oppid; an exiting one P_WEXIT
//     with status SRUN;
//   - proc_listallpids lists the same pids; PROC_PIDTBSDINFO finds a zombie
//     only with a non-zero argument;
//   - PROC_PIDTASKINFO, PROC_PIDLISTTHREADS and PROC_PIDTHREADINFO do not
//     find zombies; proc_pid_rusage does (its totals outlive the process);
//     every read of an exiting process fails;
//   - PROC_PIDLISTTHREADS writes thread handles, at most as many as the
//     buffer holds, the first thread first, and refuses a buffer below 8
//     bytes; PROC_PIDTHREADINFO takes a handle, and fails for any other
//     argument (0 matches only a thread just created, whose handle is 0); a
//     stopped process's threads all read TH_STATE_WAITING;
//   - another user's process, unless Kernel::root: BSD, task and thread
//     information and rusage fail with EPERM, the argument area's read with
//     EINVAL (its size query succeeds unless the process is restricted);
//     the path and the process table work;
//   - KERN_PROCARGS2: the size query gives the area's exact length (a
//     restricted process's without its environment, rounded up to 4); a
//     buffer above ARG_MAX + 4 is refused with EINVAL; a buffer smaller than
//     the area gets the count and then the *last* bytes of the rest, and the
//     call succeeds with the buffer full; otherwise the read sets the true
//     length (the rest of the buffer is left as junk); zombies and pid 0 fail
//     with EINVAL, as a process without an area does;
//   - a sandbox (Kernel::sandbox) refuses the calls it names with EPERM;
//   - the machine (Kernel::machine) sets the time base, the answers of
//     sysctlbyname("sysctl.proc_translated") and ("hw.tbfrequency"), and so
//     the unit of the task totals: native ticks on Apple silicon, also for
//     a translated caller that reads a time base of 1/1;
//   - host_processor_info hands out fresh page-aligned memory that must be
//     released with vm_deallocate and its exact size; mach_host_self hands
//     out a port reference to be released with mach_port_deallocate.
// Every wrong use (a release of memory not handed out, a wrong size, a
// second release, an unknown flavor, ...) is recorded in Kernel::misuse.
//
// The double's launchd (launchd()) and kernel_task (kernelTask()) are
// root's, as on a Mac.
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
  /// The user-space thread address; 0 only for a thread just created.
  std::uint64_t handle = 0;
  std::int32_t runState = TH_STATE_WAITING;
  std::uint64_t userNanoseconds = 0;
  std::uint64_t systemNanoseconds = 0;
};

/// One process.
struct Process {
  /// p_stat; SZOMB makes the process a zombie; SIDL keeps it out of every
  /// listing.
  std::uint32_t status = SRUN;
  /// The real parent.
  std::uint32_t parentPid = 1;
  /// A debugger attached: the pid of the tracer, which the kernel then
  /// reports as the parent.
  std::optional<std::uint32_t> tracer;
  /// In its exit window: still SRUN, P_WEXIT set, every read fails.
  bool exiting = false;
  /// Signed with CS_RESTRICT: its argument area leaves out the environment,
  /// and another user cannot even size it.
  bool restricted = false;
  /// p_comm: the kernel's short name (at most 16 bytes are kept).
  std::string shortName;
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
  /// How many bytes at the end of argumentArea are environment strings.
  std::size_t environmentBytes = 0;
  /// The executable path; empty: proc_pidpath fails.
  std::optional<std::string> path;
};

/// What the backend asked for.
struct Calls {
  std::size_t processTableSizes = 0;              ///< KERN_PROC_ALL size queries
  std::vector<std::size_t> processTableReads;     ///< *oldlenp of each KERN_PROC_ALL read
  std::vector<int> processReads;                  ///< the pid of each KERN_PROC_PID read
  std::vector<int> listAllPids;                   ///< buffersize of each proc_listallpids (0: count)
  std::vector<int> bsdInfo;                       ///< the pid of each PROC_PIDTBSDINFO
  std::vector<std::string> sysctlNames;           ///< each sysctlbyname
  std::vector<int> listThreadsBufferSizes;        ///< bytes
  std::vector<std::uint64_t> threadInfoArguments;
  std::size_t taskInfo = 0;
  std::size_t rusage = 0;
  std::size_t path = 0;
  std::vector<std::size_t> argumentSizes;         ///< *oldlenp of each KERN_PROCARGS2 call (0: size query)
  std::size_t processorInfo = 0;

  /// Every call that reads processes (the processor counters and the clocks
  /// aside).
  std::size_t processCalls() const;
};

/// The calls a sandbox may refuse (EPERM); all allowed by default.
struct Sandbox {
  bool processTable = false;  ///< sysctl KERN_PROC (all and by pid)
  bool listAllPids = false;
  bool bsdInfo = false;
  bool taskInfo = false;
  bool threads = false;       ///< PROC_PIDLISTTHREADS and PROC_PIDTHREADINFO
  bool rusage = false;
  bool path = false;
  bool argumentArea = false;
  bool sysctlByName = false;
};

/// The machine the caller runs on.
enum class Machine : std::uint8_t {
  /// Native arm64: time base 125/3, 24 MHz ticks, not translated.
  appleSilicon,
  /// An x86_64 caller under Rosetta on Apple silicon: time base 1/1 and
  /// absolute time in nanoseconds, but task totals in native 24 MHz ticks.
  translated,
  /// Time base 1/1, task totals in nanoseconds; no proc_translated.
  intel,
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
  Sandbox sandbox;
  /// Set with useMachine(), which sets the time base to match.
  Machine machine = Machine::appleSilicon;

  /// Per processor the four cpu_ticks, indexed by CPU_STATE_*.
  std::vector<std::array<unsigned int, CPU_STATE_MAX>> processors =
      std::vector<std::array<unsigned int, CPU_STATE_MAX>>(4);
  /// Anything else than KERN_SUCCESS: host_processor_info fails with it.
  kern_return_t processorInfoResult = KERN_SUCCESS;
  /// Empty: mach_timebase_info fails. The machine's (Apple silicon's by
  /// default).
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

/// Sets the process's argument area (argumentArea() of the three) and how
/// much of it is environment.
void setArgumentArea(Process& process, const std::string& path, const std::vector<std::string>& arguments,
                     const std::vector<std::string>& environment);

/// The machine, and the time base it reads.
void useMachine(Machine machine);

/// A live process that reads fully: status SRUN, one waiting thread, an
/// argument area and a path "/usr/bin/<name>", the short name `name`.
Process ordinaryProcess(std::uint32_t parentPid, std::uint64_t startSeconds, const std::string& name,
                        const std::vector<std::string>& arguments = {});

/// Pid 1, root's: no parent, started at `startSeconds`.
Process launchd(std::uint64_t startSeconds = 100);

/// Pid 0, root's: the short name "kernel_task", no parent, no argument area
/// and no path; started at `startSeconds`.
Process kernelTask(std::uint64_t startSeconds = 100);

}  // namespace sidecar::darwin_double
