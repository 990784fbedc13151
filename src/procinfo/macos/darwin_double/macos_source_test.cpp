// A ProcessInfoSource over the macOS backend over the double of the Darwin
// kernel, end to end: the statuses a parent sees through the shared status
// rules (idle Sleep, stopped Stop, busy Run, zombie Zombie) as they change,
// other users' processes, kernel_task and zombies named by their short
// names and not asked again, a debugged process that stays in its tree, run
// times, what an exited process keeps, the CPU usage in one unit from the
// processor counters and from the fallback (under Rosetta too), the
// listing's fallbacks under a sandbox, and every array and port released
// when the platform goes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "procinfo/fake/fake_clock.h"
#include "procinfo/macos/darwin_double/darwin_double.h"
#include "procinfo/macos/macos_platform.h"
#include "procinfo/process_info_source.h"

namespace sidecar::procinfo {
namespace {

namespace dd = darwin_double;
using ::testing::IsEmpty;

constexpr RefreshSelection ALL = RefreshSelection::everything();
// One second in Mach absolute-time units at 125/3 ns each.
constexpr std::uint64_t SECOND_UNITS = 24'000'000;

class MacosSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dd::reset();
    kernel.processes[0] = dd::kernelTask(90);
    kernel.processes[1] = dd::launchd(100);
    dd::Process& idle = kernel.processes[100] = dd::ordinaryProcess(1, 1000, "idle", {"idle", "--wait"});
    idle.threads.front().runState = TH_STATE_WAITING;
    dd::Process& stopped = kernel.processes[101] = dd::ordinaryProcess(1, 1000, "stopped");
    stopped.status = SSTOP;
    dd::Process& busy = kernel.processes[102] = dd::ordinaryProcess(1, 1000, "busy");
    busy.threads.front().runState = TH_STATE_RUNNING;
    busy.totalUser = SECOND_UNITS;  // a baseline of 0 gives no usage
    busy.threads.front().userNanoseconds = 1'000'000'000;
    // A zombie: found by the basic information alone.
    dd::Process& zombie = kernel.processes[103] = dd::ordinaryProcess(102, 1001, "gone");
    zombie.status = SZOMB;
    zombie.threads.clear();
    // Another user's process: listed with its basic values; only its path
    // can be read beyond them, unless the caller is root.
    dd::Process& other = kernel.processes[104] = dd::ordinaryProcess(1, 900, "other");
    other.otherUser = true;
  }
  void TearDown() override {
    EXPECT_THAT(kernel.misuse, IsEmpty());
    EXPECT_THAT(kernel.liveArrays, IsEmpty());
    EXPECT_EQ(kernel.hostPortsReleased, kernel.hostPortsHandedOut);
  }

  /// Time passes on the machine: every processor counts `seconds` of idle
  /// ticks, the clocks and the absolute time move on.
  void pass(std::uint64_t seconds) {
    const auto ticks = static_cast<unsigned int>(seconds * static_cast<std::uint64_t>(sysconf(_SC_CLK_TCK)));
    for (auto& processor : kernel.processors) processor[CPU_STATE_IDLE] += ticks;
    clock.advance(std::chrono::seconds(seconds));
    kernel.absoluteTime += seconds * SECOND_UNITS;
  }

  /// The busy process runs for `seconds` on one processor: its task totals
  /// in Mach units, its thread's times in nanoseconds.
  void run(std::uint64_t seconds) {
    dd::Process& busy = kernel.processes[102];
    busy.totalUser += seconds * SECOND_UNITS;
    busy.threads.front().userNanoseconds += seconds * 1'000'000'000;
  }

  std::uint64_t wallSeconds() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(clock.wallNow()).count());
  }

  std::string status(const ProcessInfoSource& source, std::uint32_t pid) {
    return statusText(reportedStatus(source.processes().at(pid)));
  }

  dd::Kernel& kernel = dd::kernel();
  FakeClock clock;
};

TEST_F(MacosSourceTest, StatusesThroughTheSharedRules) {
  MacosPlatform platform(clock);
  auto source = ProcessInfoSource::new_with_specifics(platform);
  source.refresh_processes_specifics(ALL);
  // First sight: the process state alone (a live process is SRUN).
  EXPECT_EQ(status(source, 100), "Run");
  EXPECT_EQ(status(source, 101), "Stop");
  EXPECT_EQ(status(source, 102), "Run");
  EXPECT_EQ(status(source, 103), "Zombie");
  EXPECT_EQ(status(source, 104), "Run");

  pass(1);
  source.refresh_processes_specifics(ALL);
  // Later: a running process reports what its first thread does. Another
  // user's thread cannot be read unless the caller is root, and counts as
  // running.
  EXPECT_EQ(status(source, 100), "Sleep");
  EXPECT_EQ(status(source, 101), "Stop");
  EXPECT_EQ(status(source, 102), "Run");
  EXPECT_EQ(status(source, 103), "Zombie");
  // launchd is root's.
  EXPECT_EQ(status(source, 1), kernel.root ? "Sleep" : "Run");
  EXPECT_EQ(status(source, 104), kernel.root ? "Sleep" : "Run");

  const ProcessInfo& idle = source.processes().at(100);
  EXPECT_EQ(idle.name, "idle");
  EXPECT_THAT(idle.commandLine, ::testing::ElementsAre("idle", "--wait"));
  EXPECT_EQ(idle.parentPid, 1U);
  const ProcessInfo& zombie = source.processes().at(103);
  EXPECT_EQ(zombie.name, "gone") << "a zombie has neither argument area nor path: its short name";
  EXPECT_EQ(zombie.parentPid, 102U);
  EXPECT_EQ(zombie.startTime, 1001U);
  // Another user's process has its parent and start time like any other.
  const ProcessInfo& other = source.processes().at(104);
  EXPECT_EQ(other.name, "other");
  EXPECT_EQ(other.parentPid, 1U);
  EXPECT_EQ(other.startTime, 900U);
  EXPECT_EQ(other.runTime, wallSeconds() - 900);

  // Stopped after it was first seen, then continued; and the one first seen
  // stopped is continued too. The status follows the latest reading.
  kernel.processes[100].status = SSTOP;
  pass(1);
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(status(source, 100), "Stop");
  kernel.processes[100].status = SRUN;
  kernel.processes[101].status = SRUN;
  pass(1);
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(status(source, 100), "Sleep");
  EXPECT_EQ(status(source, 101), "Sleep");

  // The idle process exits: its threads are gone and its status is SZOMB.
  // It keeps its record (and name) and reports Zombie, not the running that
  // its failed thread query alone would read as.
  kernel.processes[100].status = SZOMB;
  kernel.processes[100].threads.clear();
  pass(1);
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(status(source, 100), "Zombie");
  EXPECT_EQ(source.processes().at(100).name, "idle");

  // The zombie is reaped: its record goes.
  kernel.processes.erase(103);
  pass(1);
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(source.processes().count(103), 0U);
}

TEST_F(MacosSourceTest, UnknownStartGivesNoRunTime) {
  kernel.processes[105] = dd::ordinaryProcess(1, 0, "unknown");
  MacosPlatform platform(clock);
  auto source = ProcessInfoSource::new_with_specifics(platform);
  source.refresh_processes_specifics(ALL);
  pass(1);
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(source.processes().at(105).startTime, 0U);
  EXPECT_EQ(source.processes().at(105).runTime, 0U);
  EXPECT_EQ(source.processes().at(100).runTime, wallSeconds() - 1000);
}

TEST_F(MacosSourceTest, ExitedProcessKeepsItsCpuTimeAndSizes) {
  dd::Process& busy = kernel.processes[102];
  busy.residentSize = 4096;
  busy.virtualSize = 1 << 30;
  dd::Process& other = kernel.processes[104];
  other.totalUser = 5 * SECOND_UNITS;
  other.residentSize = 8192;
  MacosPlatform platform(clock);
  auto source = ProcessInfoSource::new_with_specifics(platform);
  source.refresh_processes_specifics(ALL);
  pass(1);
  run(4);
  source.refresh_processes_specifics(ALL);
  EXPECT_NEAR(static_cast<double>(source.processes().at(102).accumulatedCpuTime), 5000.0, 1.0);

  // It exits: the task query no longer finds it, the process table does.
  busy.status = SZOMB;
  busy.threads.clear();
  pass(1);
  source.refresh_processes_specifics(ALL);
  const ProcessInfo& exited = source.processes().at(102);
  EXPECT_EQ(statusText(reportedStatus(exited)), "Zombie");
  EXPECT_NEAR(static_cast<double>(exited.accumulatedCpuTime), 5000.0, 1.0);
  EXPECT_EQ(exited.residentMemory, 4096U);
  EXPECT_EQ(exited.virtualMemory, 1U << 30);
  EXPECT_EQ(exited.cpuUsage, 0.0F);

  // Another user's process never had a value unless the caller is root.
  const ProcessInfo& foreign = source.processes().at(104);
  EXPECT_EQ(foreign.accumulatedCpuTime, kernel.root ? 5000U : 0U);
  EXPECT_EQ(foreign.residentMemory, kernel.root ? 8192U : 0U);
}

TEST_F(MacosSourceTest, CpuUsageFromTheProcessorCounters) {
  {
    MacosPlatform platform(clock);
    auto source = ProcessInfoSource::new_with_specifics(platform);
    source.refresh_processes_specifics(ALL);
    pass(1);
    run(1);
    source.refresh_processes_specifics(ALL);
    EXPECT_NEAR(source.processes().at(102).cpuUsage, 100.0F, 0.01F);
    EXPECT_NEAR(static_cast<double>(source.processes().at(102).accumulatedCpuTime), 2000.0, 1.0);
    EXPECT_EQ(source.processes().at(100).cpuUsage, 0.0F);
    EXPECT_EQ(kernel.liveArrays.size(), 1U);
  }
  EXPECT_EQ(kernel.arraysReleased, kernel.arraysHandedOut);
}

TEST_F(MacosSourceTest, FallbackCpuUsageFromTheTaskTotalsAlone) {
  kernel.processorInfoResult = KERN_FAILURE;
  kernel.absoluteTime = 1000 * SECOND_UNITS;  // the machine has been up a while
  kernel.processes[102].totalSystem = SECOND_UNITS / 2;
  MacosPlatform platform(clock);
  auto source = ProcessInfoSource::new_with_specifics(platform);
  source.refresh_processes_specifics(ALL);  // built: the baseline and its stamp
  EXPECT_NEAR(static_cast<double>(source.processes().at(102).accumulatedCpuTime), 1500.0, 1.0);
  for (const double cpuTime : {2500.0, 3500.0}) {
    pass(1);
    run(1);
    source.refresh_processes_specifics(ALL);
    // One busy thread over one second of absolute time: 100, whatever its
    // own times say (the task totals already count it).
    EXPECT_NEAR(source.processes().at(102).cpuUsage, 100.0F, 0.01F);
    EXPECT_NEAR(static_cast<double>(source.processes().at(102).accumulatedCpuTime), cpuTime, 1.0);
    EXPECT_EQ(source.processes().at(100).cpuUsage, 0.0F);
  }
  EXPECT_EQ(kernel.arraysHandedOut, 0U);
}

TEST_F(MacosSourceTest, KernelTaskAndZombiesAreNamedOnceByTheirShortNames) {
  kernel.processes[105] = dd::ordinaryProcess(1, 1000, "leaving");
  MacosPlatform platform(clock);
  auto source = ProcessInfoSource::new_with_specifics(platform);
  source.refresh_processes_specifics(RefreshSelection::nothing());
  const ProcessInfo& kernelTask = source.processes().at(0);
  EXPECT_EQ(kernelTask.name, "kernel_task");
  EXPECT_FALSE(kernelTask.parentPid);
  EXPECT_EQ(source.processes().at(103).name, "gone");

  // One in its exit window, then a zombie: its record keeps its name.
  kernel.processes[105].exiting = true;
  pass(1);
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(source.processes().at(105).name, "leaving");
  EXPECT_EQ(status(source, 105), "Run");

  // Named once: no refresh asks for their areas or paths again, nor for
  // the area of a process that cannot give it (another user's, for a
  // caller that is not root), though every record is read with its details.
  kernel.processes[105].exiting = false;
  kernel.processes[105].status = SZOMB;
  kernel.calls = {};
  for (int refresh = 0; refresh < 3; ++refresh) {
    pass(1);
    source.refresh_processes_specifics(ALL);
  }
  EXPECT_EQ(source.processes().at(105).name, "leaving");
  EXPECT_EQ(status(source, 105), "Zombie");
  EXPECT_EQ(kernel.calls.path, 0U);
  // The area of every own live process at each refresh (launchd's and the
  // other user's too for root): 100, 101, 102.
  const std::size_t areas = kernel.root ? 5 : 3;
  EXPECT_EQ(kernel.calls.argumentSizes.size(), 3 * 2 * areas);
}

TEST_F(MacosSourceTest, DebuggedProcessStaysInItsTree) {
  kernel.processes[110] = dd::ordinaryProcess(100, 1000, "helper");
  kernel.processes[111] = dd::ordinaryProcess(110, 1000, "worker");
  kernel.processes[120] = dd::ordinaryProcess(1, 1000, "debugserver");
  MacosPlatform platform(clock);
  auto source = ProcessInfoSource::new_with_specifics(platform);
  for (const bool attached : {false, true, false}) {
    kernel.processes[110].tracer = attached ? std::optional<std::uint32_t>(120) : std::nullopt;
    pass(1);
    source.refresh_processes_specifics(ALL);
    EXPECT_EQ(source.processes().at(110).parentPid, 100U) << attached;
    EXPECT_EQ(source.processes().at(111).parentPid, 110U) << attached;
  }
}

TEST_F(MacosSourceTest, TranslatedTaskTotalsCountNativeTicks) {
  // Under Rosetta the time base and the absolute time are in nanoseconds,
  // the task totals in 24 MHz ticks. Both CPU paths, with and without the
  // processor counters, give the process's one busy processor.
  struct Case {
    dd::Machine machine;
    std::uint64_t ticksPerSecond;  // of the task totals
    std::uint64_t absolutePerSecond;
  } cases[] = {
      {dd::Machine::appleSilicon, SECOND_UNITS, SECOND_UNITS},
      {dd::Machine::translated, SECOND_UNITS, 1'000'000'000},
      {dd::Machine::intel, 1'000'000'000, 1'000'000'000},
  };
  for (const bool counters : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(static_cast<int>(c.machine) * 2 + (counters ? 1 : 0));
      SetUp();
      dd::useMachine(c.machine);
      if (!counters) kernel.processorInfoResult = KERN_FAILURE;
      dd::Process& busy = kernel.processes[102];
      busy.totalUser = 2 * c.ticksPerSecond;
      MacosPlatform platform(clock);
      auto source = ProcessInfoSource::new_with_specifics(platform);
      source.refresh_processes_specifics(ALL);
      EXPECT_NEAR(static_cast<double>(source.processes().at(102).accumulatedCpuTime), 2000.0, 1.0);
      pass(1);
      kernel.absoluteTime += c.absolutePerSecond - SECOND_UNITS;  // pass() counts native units
      busy.totalUser += c.ticksPerSecond;
      source.refresh_processes_specifics(ALL);
      EXPECT_NEAR(source.processes().at(102).cpuUsage, 100.0F, 0.01F);
      EXPECT_NEAR(static_cast<double>(source.processes().at(102).accumulatedCpuTime), 3000.0, 1.0);
      const bool asked = std::find(kernel.calls.sysctlNames.begin(), kernel.calls.sysctlNames.end(),
                                   "hw.tbfrequency") != kernel.calls.sysctlNames.end();
      EXPECT_EQ(asked, c.machine == dd::Machine::translated) << "the frequency only where it is needed";
    }
  }
}

TEST_F(MacosSourceTest, EachStepOfTheSandboxFallback) {
  // The parent's sandbox refuses more and more. What the source keeps:
  struct Step {
    const char* what;
    dd::Sandbox sandbox;
    std::size_t records;          // for a caller that is not root
    std::size_t recordsAsRoot;
    bool appParentKnown;          // the app's parent and start time
  } steps[] = {
      {"nothing refused", {}, 7, 7, true},
      // The pid list and the BSD information: other users' processes only
      // from their paths (kernel_task has none), zombies found.
      {"table", {.processTable = true}, 6, 7, true},
      // Every process from its path alone, kernel_task and the zombie lost.
      {"table, BSD information", {.processTable = true, .bsdInfo = true}, 5, 5, false},
      // Nothing can be listed: no record.
      {"every listing", {.processTable = true, .listAllPids = true}, 0, 0, false},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    SetUp();
    kernel.sandbox = step.sandbox;
    MacosPlatform platform(clock);
    auto source = ProcessInfoSource::new_with_specifics(platform);
    for (int refresh = 0; refresh < 2; ++refresh) {
      pass(1);
      source.refresh_processes_specifics(ALL);
      EXPECT_EQ(source.processes().size(), kernel.root ? step.recordsAsRoot : step.records);
    }
    if (step.records == 0) continue;
    const ProcessInfo& idle = source.processes().at(100);
    EXPECT_EQ(idle.name, "idle");
    EXPECT_THAT(idle.commandLine, ::testing::ElementsAre("idle", "--wait"));
    EXPECT_EQ(idle.parentPid.has_value(), step.appParentKnown);
    EXPECT_EQ(idle.startTime, step.appParentKnown ? 1000U : 0U);
    EXPECT_EQ(source.processes().at(104).name, "other");
  }
}

}  // namespace
}  // namespace sidecar::procinfo
