#include "procinfo/process_info_source.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "procinfo/fake/fake_platform.h"

namespace sidecar::procinfo {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr RefreshSelection ALL = RefreshSelection::everything();
constexpr RefreshSelection NONE = RefreshSelection::nothing();

class SourceTest : public ::testing::Test {
 protected:
  std::uint64_t wallSeconds() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<seconds>(clock.wallNow()).count());
  }
  const ProcessInfo& at(std::uint32_t pid) { return source.processes().at(pid); }

  FakeClock clock;
  FakePlatform platform{clock};
  ProcessInfoSource source = ProcessInfoSource::new_with_specifics(platform);
};

TEST_F(SourceTest, CreationReadsNoProcess) {
  EXPECT_TRUE(source.processes().empty());
  EXPECT_EQ(platform.calls().listPids, 0U);
  EXPECT_EQ(platform.calls().basicInfo, 0U);
}

TEST_F(SourceTest, FirstRefreshBuildsEveryRecordFromWhatItReads) {
  const std::uint64_t now = wallSeconds();
  platform.addProcess(1, 0, now - 100, "init", {"/sbin/init", "splash"});
  platform.addProcess(42, 1, now - 10, "worker", {"worker", "--fast"});
  platform.setMemory(42, 4096, 8192);
  platform.setDisk(42, 10, 20);
  platform.addCpuTime(42, seconds(3), seconds(1));

  EXPECT_EQ(source.refresh_processes_specifics(ALL), 2U);

  ASSERT_EQ(source.processes().size(), 2U);
  EXPECT_EQ(at(1).parentPid, std::nullopt) << "a parent of 0 is no parent";
  const ProcessInfo& worker = at(42);
  EXPECT_EQ(worker.pid, 42U);
  EXPECT_EQ(worker.parentPid, 1U);
  EXPECT_EQ(worker.name, "worker");
  EXPECT_THAT(worker.commandLine, ElementsAre("worker", "--fast"));
  EXPECT_EQ(worker.startTime, now - 10);
  EXPECT_EQ(worker.runTime, 10U);
  EXPECT_EQ(worker.processState, ProcessState(ProcessState::Kind::Run));
  EXPECT_EQ(worker.threadState, std::nullopt) << "no thread state on a record built in this refresh";
  EXPECT_EQ(worker.cpuUsage, 0.0F);
  EXPECT_EQ(worker.accumulatedCpuTime, 4000U);
  EXPECT_EQ(worker.residentMemory, 4096U);
  EXPECT_EQ(worker.virtualMemory, 8192U);
  EXPECT_EQ(worker.diskReadBytes, 10U);
  EXPECT_EQ(worker.diskWrittenBytes, 20U);
  EXPECT_FALSE(worker.seen) << "the seen mark is cleared at the end of every refresh";
  EXPECT_EQ(platform.calls().threadInfo, 0U);
  EXPECT_EQ(platform.calls().readNameFromPath, 0U) << "the path is read only as a fallback";
}

TEST_F(SourceTest, TableSelectionReadsOnlyBasicValues) {
  platform.addProcess(7, 1, 100, "tool", {"tool", "x"});
  platform.setMemory(7, 1, 2);
  source.refresh_processes_specifics(NONE);
  source.refresh_processes_specifics(NONE);
  EXPECT_EQ(at(7).name, "tool");
  EXPECT_THAT(at(7).commandLine, IsEmpty());
  EXPECT_EQ(at(7).residentMemory, 0U);
  EXPECT_EQ(platform.calls().taskInfo, 0U);
  EXPECT_EQ(platform.calls().diskCounters, 0U);
}

TEST_F(SourceTest, GoneProcessesAreRemovedAndParentsFollowReparenting) {
  platform.addProcess(1, 0, 100, "init");
  platform.addProcess(10, 1, 100, "parent");
  platform.addProcess(11, 10, 100, "child");
  source.refresh_processes_specifics(ALL);
  platform.removeProcess(10);
  platform.process(11).basic->parentPid = 1;
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(source.processes().count(10), 0U);
  EXPECT_EQ(at(11).parentPid, 1U);
}

TEST_F(SourceTest, FailedListingEmptiesTheMapAndTheNextRefreshStartsCpuAfresh) {
  platform.addProcess(5, 1, 100, "busy");
  platform.addCpuTime(5, milliseconds(10));  // a baseline of 0 gives no usage
  source.refresh_processes_specifics(ALL);
  platform.advance(seconds(1));
  platform.addCpuTime(5, seconds(1));
  source.refresh_processes_specifics(ALL);
  EXPECT_NEAR(at(5).cpuUsage, 100.0F, 1.0F);

  platform.failListing();
  platform.advance(seconds(1));
  EXPECT_EQ(source.refresh_processes_specifics(ALL), 0U);
  EXPECT_TRUE(source.processes().empty());

  platform.advance(seconds(1));
  platform.addCpuTime(5, seconds(1));
  source.refresh_processes_specifics(ALL);
  ASSERT_EQ(source.processes().count(5), 1U);
  EXPECT_EQ(at(5).cpuUsage, 0.0F) << "the record is new again: no baseline";
}

TEST(SourceReuseTest, AReusedPidGetsAFreshRecordAndKeepsIt) {
  // The new process is told apart by its start second, or, within the same
  // second, by its finer start instant.
  struct Case {
    const char* label;
    std::uint64_t newStart;
    std::uint64_t oldInstant;
    std::uint64_t newInstant;
  };
  for (const Case& c : {Case{"a later second", 200, 0, 0}, Case{"the same second, a later instant", 100, 5000, 5042}}) {
    SCOPED_TRACE(c.label);
    FakeClock clock;
    FakePlatform platform(clock);
    auto source = ProcessInfoSource::new_with_specifics(platform);
    const auto at = [&](std::uint32_t pid) -> const ProcessInfo& { return source.processes().at(pid); };
    platform.addProcess(9, 1, 100, "old", {"old", "-a"});
    platform.setStartInstant(9, c.oldInstant);
    platform.addCpuTime(9, milliseconds(10));
    source.refresh_processes_specifics(ALL);
    platform.advance(seconds(1));
    platform.addCpuTime(9, seconds(1));
    source.refresh_processes_specifics(ALL);
    ASSERT_GT(at(9).cpuUsage, 0.0F);
    ASSERT_EQ(at(9).startInstant, c.oldInstant);

    platform.addProcess(9, 1, c.newStart, "new", {"new", "-b"});
    platform.setStartInstant(9, c.newInstant);
    platform.addCpuTime(9, milliseconds(300));
    platform.advance(seconds(1));
    source.refresh_processes_specifics(ALL);
    const ProcessInfo& info = at(9);
    EXPECT_EQ(info.startTime, c.newStart);
    EXPECT_EQ(info.startInstant, c.newInstant);
    EXPECT_EQ(info.name, "new");
    EXPECT_THAT(info.commandLine, ElementsAre("new", "-b"));
    EXPECT_EQ(info.cpuUsage, 0.0F);
    EXPECT_EQ(info.accumulatedCpuTime, 300U);
    EXPECT_EQ(info.threadState, std::nullopt);

    // The same start at the next refresh: the same record, updated.
    platform.addCpuTime(9, milliseconds(500));
    platform.advance(seconds(1));
    source.refresh_processes_specifics(ALL);
    EXPECT_EQ(at(9).name, "new");
    EXPECT_GT(at(9).cpuUsage, 0.0F);
    EXPECT_EQ(at(9).accumulatedCpuTime, 800U);
  }
}

TEST_F(SourceTest, ReusedPidWithoutNameSourceKeepsTheOldRecordNameless) {
  platform.addProcess(9, 1, 100, "old", {"old", "-a"});
  source.refresh_processes_specifics(ALL);

  FakeProcess& reused = platform.addProcess(9, 3, 200, "new", {"new"});
  reused.argumentArea.reset();
  reused.path.reset();
  source.refresh_processes_specifics(ALL);
  ASSERT_EQ(source.processes().count(9), 1U);
  EXPECT_EQ(at(9).name, "");
  EXPECT_EQ(at(9).startTime, 100U);
  EXPECT_EQ(at(9).parentPid, 1U);
  EXPECT_THAT(at(9).commandLine, ElementsAre("old", "-a"));

  // Once a name source can be read, the new process takes the pid over.
  platform.addProcess(9, 3, 200, "new", {"new"});
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(at(9).name, "new");
  EXPECT_EQ(at(9).startTime, 200U);
}

TEST_F(SourceTest, ArgumentAreaRules) {
  struct Row {
    const char* what;
    std::string area;
    const char* name;
    std::vector<std::string> arguments;
  };
  const std::vector<Row> rows = {
      {"exactly 4 bytes: read, but no name and no path fallback", makeArgumentArea("", {}).substr(0, 4), "", {}},
      {"empty argument dropped, environment ignored", makeArgumentArea("/bin/a", {"a", "", "b"}, {"HOME=/"}), "a",
       {"a", "b"}},
      {"path ending in ..: empty name, no fallback", makeArgumentArea("/usr/..", {"x"}), "", {"x"}},
  };
  std::uint32_t pid = 100;
  for (const Row& row : rows) {
    FakeProcess& entry = platform.addProcess(pid, 1, 100, "fallback");
    entry.argumentArea = row.area;
    ++pid;
  }
  source.refresh_processes_specifics(ALL);
  pid = 100;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_EQ(source.processes().count(pid), 1U);
    EXPECT_EQ(at(pid).name, row.name);
    EXPECT_EQ(at(pid).commandLine, row.arguments);
    ++pid;
  }
  EXPECT_EQ(platform.calls().readNameFromPath, 0U);
}

TEST_F(SourceTest, UnreadableArgumentAreaFallsBackToThePathAndKeepsTheCommandLine) {
  platform.addProcess(3, 1, 100, "/opt/tool/bin/tool", {"tool", "--x"});
  source.refresh_processes_specifics(ALL);
  platform.process(3).argumentArea.reset();
  platform.process(3).argumentArea = "ab";  // shorter than 4 bytes: unreadable
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(at(3).name, "tool");
  EXPECT_THAT(at(3).commandLine, ElementsAre("tool", "--x"));

  FakeProcess& other = platform.addProcess(4, 1, 100, "/usr/libexec/daemon");
  other.argumentArea.reset();
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(at(4).name, "daemon");
  EXPECT_THAT(at(4).commandLine, IsEmpty());
}

TEST_F(SourceTest, NameIsSetOnceAndRetriedWhileEmpty) {
  FakeProcess& entry = platform.addProcess(6, 1, 100, "late");
  entry.argumentArea = makeArgumentArea("", {});
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(at(6).name, "");
  platform.process(6).argumentArea = makeArgumentArea("/bin/late", {});
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(at(6).name, "late");
  platform.process(6).argumentArea = makeArgumentArea("/bin/renamed", {});
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(at(6).name, "late");
}

TEST_F(SourceTest, NewProcessWithUnreadableBasicInfoIsBuiltFromThePathAlone) {
  FakeProcess& entry = platform.addProcess(8, 1, 100, "/usr/sbin/secret", {"secret"});
  entry.basic.reset();
  platform.setMemory(8, 100, 200);
  platform.setDisk(8, 1, 2);
  source.refresh_processes_specifics(ALL);
  ASSERT_EQ(source.processes().count(8), 1U);
  const ProcessInfo& info = at(8);
  EXPECT_EQ(info.name, "secret");
  EXPECT_EQ(info.startTime, 0U);
  EXPECT_EQ(info.parentPid, std::nullopt);
  EXPECT_EQ(info.processState, ProcessState::unknown(0));
  EXPECT_EQ(statusText(reportedStatus(info)), "Unknown(0)");
  EXPECT_THAT(info.commandLine, IsEmpty());
  EXPECT_EQ(info.residentMemory, 0U);
  EXPECT_EQ(info.diskReadBytes, 0U);

  // Later refreshes that still cannot read it report no run time: its start
  // is unknown, not 1970.
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(at(8).runTime, 0U);

  // Neither basic information nor path: no record, and a known one goes.
  platform.process(8).path.reset();
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(source.processes().count(8), 0U);
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(source.processes().count(8), 0U);
}

TEST_F(SourceTest, ZombieWithoutNameSourcesKeepsANamelessRecord) {
  // As on macOS: a zombie's basic information reads, its argument area and
  // executable path do not. Any other process needs a name source.
  for (const std::uint32_t pid : {10U, 11U}) {
    FakeProcess& entry = platform.addProcess(pid, 1, 100, "gone");
    entry.argumentArea.reset();
    entry.path.reset();
  }
  platform.setState(10, ProcessState(ProcessState::Kind::Zombie));
  source.refresh_processes_specifics(ALL);
  ASSERT_EQ(source.processes().count(10), 1U);
  EXPECT_EQ(source.processes().count(11), 0U);
  EXPECT_EQ(at(10).name, "");
  EXPECT_EQ(at(10).startTime, 100U);
  EXPECT_EQ(statusText(reportedStatus(at(10))), "Zombie");
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(statusText(reportedStatus(at(10))), "Zombie");
}

TEST_F(SourceTest, KnownProcessWithUnreadableBasicInfoKeepsItsBasicValues) {
  platform.addProcess(12, 4, 100, "svc", {"svc"});
  source.refresh_processes_specifics(ALL);
  platform.process(12).basic.reset();
  platform.process(12).argumentArea = makeArgumentArea("/bin/svc", {"svc", "--new"});
  source.refresh_processes_specifics(ALL);
  ASSERT_EQ(source.processes().count(12), 1U);
  EXPECT_EQ(at(12).parentPid, 4U);
  EXPECT_EQ(at(12).startTime, 100U);
  EXPECT_THAT(at(12).commandLine, ElementsAre("svc", "--new"));
}

TEST_F(SourceTest, DeniedTaskAndDiskValuesKeepTheirValues) {
  platform.addProcess(20, 1, 100, "other");
  platform.setDisk(20, 5, 6);
  platform.setMemory(20, 10, 20);
  platform.addCpuTime(20, seconds(2));
  source.refresh_processes_specifics(ALL);
  platform.process(20).disk.reset();
  platform.process(20).task = {};
  platform.advance(seconds(1));
  source.refresh_processes_specifics(ALL);
  const ProcessInfo& info = at(20);
  EXPECT_EQ(info.diskReadBytes, 5U);
  EXPECT_EQ(info.diskWrittenBytes, 6U);
  // The task query fails (as for a zombie): the last CPU time and sizes
  // stay, never a fresh 0; the usage is 0 and there is no baseline left.
  EXPECT_EQ(info.residentMemory, 10U);
  EXPECT_EQ(info.virtualMemory, 20U);
  EXPECT_EQ(info.cpuUsage, 0.0F);
  EXPECT_EQ(info.accumulatedCpuTime, 2000U);
  EXPECT_EQ(info.previousUserTime, 0U);

  // Readable again: a new baseline, so the usage is 0 once more.
  platform.setMemory(20, 10, 20);
  platform.addCpuTime(20, seconds(3));
  platform.advance(seconds(1));
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(at(20).cpuUsage, 0.0F);
  EXPECT_EQ(at(20).accumulatedCpuTime, 3000U);
}

TEST_F(SourceTest, ThreadStateRulesThroughTheSource) {
  using Kind = ProcessState::Kind;
  struct Row {
    const char* what;
    ProcessState built;
    std::optional<std::int32_t> thread;  // empty: the query fails
    const char* status;
  };
  const std::vector<Row> rows = {
      {"running, thread waiting", ProcessState(Kind::Run), ThreadState::RUN_STATE_WAITING, "Sleep"},
      {"stopped stays stopped", ProcessState(Kind::Stop), ThreadState::RUN_STATE_RUNNING, "Stop"},
      {"uninterruptible thread", ProcessState(Kind::Run), ThreadState::RUN_STATE_UNINTERRUPTIBLE, "Dead"},
      {"failed thread query", ProcessState(Kind::Run), std::nullopt, "Run"},
      {"unknown thread code -1", ProcessState(Kind::Run), -1, "Unknown(4294967295)"},
      {"halted thread", ProcessState(Kind::Run), ThreadState::RUN_STATE_HALTED, "Parked"},
      {"unknown process code", ProcessState::unknown(7), ThreadState::RUN_STATE_RUNNING, "Unknown(7)"},
  };
  std::uint32_t pid = 200;
  for (const Row& row : rows) {
    platform.addProcess(pid, 1, 100, "p");
    platform.setState(pid, row.built);
    ++pid;
  }
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(statusText(reportedStatus(at(200))), "Run") << "first refresh: the built state alone";
  pid = 200;
  for (const Row& row : rows) {
    if (row.thread) {
      platform.setThreadState(pid, *row.thread);
    } else {
      platform.process(pid).thread.reset();
    }
    // A state read later does not change what the record was built with
    // (but for a zombie, below).
    platform.setState(pid, ProcessState(Kind::Stop));
    ++pid;
  }
  source.refresh_processes_specifics(ALL);
  pid = 200;
  for (const Row& row : rows) {
    EXPECT_EQ(statusText(reportedStatus(at(pid))), row.status) << row.what;
    ++pid;
  }
}

TEST_F(SourceTest, AProcessThatTurnsZombieReportsZombie) {
  // Built running; then it exits: its basic information says zombie, and its
  // thread query fails, which alone would read as running.
  platform.addProcess(40, 1, 100, "worker");
  source.refresh_processes_specifics(ALL);
  platform.setThreadState(40, ThreadState::RUN_STATE_WAITING);
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(statusText(reportedStatus(at(40))), "Sleep");
  platform.setState(40, ProcessState(ProcessState::Kind::Zombie));
  platform.process(40).thread.reset();
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(statusText(reportedStatus(at(40))), "Zombie");
  EXPECT_EQ(at(40).name, "worker") << "the record is the same one";
}

TEST_F(SourceTest, AZombieWhoseSizesReadZeroKeepsItsLastSizesAndItsGrowingCpuTime) {
  // As on Linux: the exited process's task reading still has its CPU total,
  // which may have grown since the last sample, and sizes of 0.
  platform.setStateFollowsLatestRefresh(true);
  platform.addProcess(50, 1, 100, "worker");
  platform.setMemory(50, 4096, 8192);
  platform.addCpuTime(50, milliseconds(300));
  source.refresh_processes_specifics(ALL);
  platform.setState(50, ProcessState(ProcessState::Kind::Zombie));
  platform.setMemory(50, 0, 0);
  platform.addCpuTime(50, milliseconds(200));
  platform.advance(seconds(1));
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(at(50).residentMemory, 4096U);
  EXPECT_EQ(at(50).virtualMemory, 8192U);
  EXPECT_EQ(at(50).accumulatedCpuTime, 500U);
}

TEST_F(SourceTest, StateFollowsTheLatestRefreshWhenThePlatformSaysSo) {
  platform.setStateFollowsLatestRefresh(true);
  platform.addProcess(30, 1, 100, "p");
  platform.process(30).thread.reset();  // no thread query, as on Linux
  platform.setState(30, ProcessState(ProcessState::Kind::Sleep));
  source.refresh_processes_specifics(NONE);
  EXPECT_EQ(statusText(reportedStatus(at(30))), "Sleep");
  platform.setState(30, ProcessState(ProcessState::Kind::Run));
  source.refresh_processes_specifics(NONE);
  EXPECT_EQ(statusText(reportedStatus(at(30))), "Run");
  platform.setState(30, ProcessState(ProcessState::Kind::Stop));
  source.refresh_processes_specifics(NONE);
  EXPECT_EQ(statusText(reportedStatus(at(30))), "Stop");
}

TEST_F(SourceTest, RunTimeIsZeroWhenTheWallClockIsBeforeStartOrEpoch) {
  platform.addProcess(40, 1, wallSeconds() + 50, "future");
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(at(40).runTime, 0U);
  clock.setWall(std::chrono::seconds(-5));
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(at(40).runTime, 0U);
}

TEST_F(SourceTest, PerProcessReadsFollowTheSelection) {
  platform.addProcess(50, 1, 100, "a", {"a"});
  platform.addProcess(51, 1, 100, "b", {"b"});
  source.refresh_processes_specifics(ALL);
  platform.resetCalls();
  source.refresh_processes_specifics(ALL);
  const FakeCallCounts& calls = platform.calls();
  EXPECT_EQ(calls.basicInfo, 2U);
  EXPECT_EQ(calls.readNameAndArguments, 2U);
  EXPECT_EQ(calls.threadInfo, 2U);
  EXPECT_EQ(calls.taskInfo, 2U);
  EXPECT_EQ(calls.diskCounters, 2U);
  EXPECT_EQ(calls.readNameFromPath, 0U);
}

// --- The selective refresh: basic values for all, details for the picked ---

/// A picker that chooses the pids in `watched` and remembers what it saw.
struct Picker {
  explicit Picker(std::vector<std::uint32_t> pids) : watched(std::move(pids)) {}

  std::vector<std::uint32_t> watched;
  std::size_t calls = 0;
  std::size_t recordsSeen = 0;
  std::optional<std::uint32_t> parentSeenOf42;

  ProcessInfoSource::DetailPicker picker() {
    return [this](const ProcessMap& refreshed, std::vector<std::uint32_t>& picked) {
      ++calls;
      recordsSeen = refreshed.size();
      const auto found = refreshed.find(42);
      parentSeenOf42 = found == refreshed.end() ? std::nullopt : found->second.parentPid;
      EXPECT_TRUE(picked.empty());
      picked = watched;
    };
  }
};

TEST_F(SourceTest, PickedProcessesGetTheDetailsAndTheOthersTheBasicValues) {
  platform.addProcess(1, 0, 100, "init", {"/sbin/init"});
  platform.addProcess(42, 1, 100, "watched", {"watched", "-v"});
  platform.addProcess(43, 1, 100, "other", {"other", "-q"});
  for (const std::uint32_t pid : {42U, 43U}) {
    platform.setDisk(pid, 10, 20);
    platform.setMemory(pid, 4096, 8192);
    platform.setThreadState(pid, ThreadState::RUN_STATE_WAITING);
  }
  Picker pick({42, 42, 999});  // repeated and unknown pids are harmless
  source.refresh_processes_specifics(ALL, pick.picker());
  platform.resetCalls();
  platform.process(42).basic->parentPid = 43;  // the picker sees this refresh's parents
  source.refresh_processes_specifics(ALL, pick.picker());

  EXPECT_EQ(pick.calls, 2U);
  EXPECT_EQ(pick.recordsSeen, 3U);
  EXPECT_EQ(pick.parentSeenOf42, 43U);
  const FakeCallCounts& calls = platform.calls();
  EXPECT_EQ(calls.basicInfo, 3U) << "every process";
  EXPECT_EQ(calls.readNameAndArguments, 1U) << "the watched command line only; names are known";
  EXPECT_EQ(calls.threadInfo, 1U);
  EXPECT_EQ(calls.taskInfo, 1U) << "the macOS way: task information for the watched only";
  EXPECT_EQ(calls.diskCounters, 1U);
  EXPECT_EQ(calls.readNameFromPath, 0U);

  EXPECT_THAT(at(42).commandLine, ElementsAre("watched", "-v"));
  EXPECT_EQ(at(42).diskReadBytes, 10U);
  EXPECT_EQ(at(42).residentMemory, 4096U);
  EXPECT_EQ(statusText(reportedStatus(at(42))), "Sleep");
  const ProcessInfo& other = at(43);
  EXPECT_EQ(other.name, "other") << "names are read for every new record";
  EXPECT_EQ(other.parentPid, 1U);
  EXPECT_EQ(other.runTime, wallSeconds() - 100);
  EXPECT_THAT(other.commandLine, IsEmpty());
  EXPECT_EQ(other.diskReadBytes, 0U);
  EXPECT_EQ(other.residentMemory, 0U);
  EXPECT_EQ(other.threadState, std::nullopt);
}

TEST_F(SourceTest, AProcessThatStopsBeingPickedKeepsItsLastDetails) {
  platform.addProcess(42, 1, 100, "tool", {"tool", "--first"});
  platform.setDisk(42, 1, 2);
  Picker pick({42});
  source.refresh_processes_specifics(ALL, pick.picker());
  // Picked at the previous refresh: its details are read in the visit of
  // its basic values, before the picker decides.
  platform.process(42).argumentArea = makeArgumentArea("/usr/bin/tool", {"tool", "--second"});
  platform.setDisk(42, 3, 4);
  pick.watched.clear();
  platform.resetCalls();
  source.refresh_processes_specifics(ALL, pick.picker());
  EXPECT_EQ(platform.calls().diskCounters, 1U);
  EXPECT_THAT(at(42).commandLine, ElementsAre("tool", "--second"));
  // Not picked at the previous refresh either: nothing more is read.
  platform.process(42).argumentArea = makeArgumentArea("/usr/bin/tool", {"tool", "--third"});
  platform.setDisk(42, 5, 6);
  platform.resetCalls();
  source.refresh_processes_specifics(ALL, pick.picker());
  EXPECT_EQ(platform.calls().diskCounters, 0U);
  EXPECT_THAT(at(42).commandLine, ElementsAre("tool", "--second"));
  EXPECT_EQ(at(42).diskReadBytes, 3U);
  pick.watched = {42};
  source.refresh_processes_specifics(ALL, pick.picker());
  EXPECT_THAT(at(42).commandLine, ElementsAre("tool", "--third"));
  EXPECT_EQ(at(42).diskReadBytes, 5U);
}

TEST_F(SourceTest, TheMacosWayAJoiningProcessStartsItsCpuUsageAtZero) {
  platform.addProcess(42, 1, 100, "busy");
  platform.addCpuTime(42, seconds(1));
  Picker pick({});
  source.refresh_processes_specifics(ALL, pick.picker());
  platform.advance(seconds(1));
  platform.addCpuTime(42, seconds(1));
  pick.watched = {42};
  source.refresh_processes_specifics(ALL, pick.picker());
  EXPECT_EQ(at(42).cpuUsage, 0.0F) << "no baseline from the refresh before";
  EXPECT_EQ(at(42).accumulatedCpuTime, 2000U);
  platform.advance(seconds(1));
  platform.addCpuTime(42, seconds(1));
  source.refresh_processes_specifics(ALL, pick.picker());
  EXPECT_NEAR(at(42).cpuUsage, 100.0F, 1.0F);

  // Not picked for two refreshes: its baseline is two refreshes old and is
  // not used for the next one, which would give the usage of three
  // intervals over one.
  pick.watched.clear();
  for (int i = 0; i < 2; ++i) {
    platform.advance(seconds(1));
    platform.addCpuTime(42, seconds(1));
    source.refresh_processes_specifics(ALL, pick.picker());
  }
  pick.watched = {42};
  platform.advance(seconds(1));
  platform.addCpuTime(42, seconds(1));
  source.refresh_processes_specifics(ALL, pick.picker());
  EXPECT_EQ(at(42).cpuUsage, 0.0F);
  EXPECT_EQ(at(42).accumulatedCpuTime, 6000U);
}

TEST_F(SourceTest, TheLinuxWayEveryProcessKeepsItsCpuBaseline) {
  FakeClock linuxClock;
  FakePlatform linuxPlatform(linuxClock);
  linuxPlatform.setTaskInfoComesWithBasicInfo(true);
  linuxPlatform.setStateFollowsLatestRefresh(true);
  auto linuxSource = ProcessInfoSource::new_with_specifics(linuxPlatform);
  linuxPlatform.addProcess(42, 1, 100, "busy");
  linuxPlatform.addProcess(43, 1, 100, "idle");
  linuxPlatform.setMemory(43, 4096, 8192);
  linuxPlatform.addCpuTime(42, seconds(1));
  Picker pick({});
  linuxSource.refresh_processes_specifics(ALL, pick.picker());
  linuxPlatform.resetCalls();
  linuxPlatform.advance(seconds(1));
  linuxPlatform.addCpuTime(42, milliseconds(500));
  pick.watched = {42};
  linuxSource.refresh_processes_specifics(ALL, pick.picker());
  EXPECT_NEAR(linuxSource.processes().at(42).cpuUsage, 50.0F, 1.0F) << "joined, with its usage at once";
  EXPECT_EQ(linuxPlatform.calls().taskInfo, 2U) << "with the basic values, for every process";
  EXPECT_EQ(linuxPlatform.calls().diskCounters, 1U);
  EXPECT_EQ(linuxSource.processes().at(43).residentMemory, 4096U);
}

TEST_F(SourceTest, WithAnExitWatchOnlyWhatMayHaveChangedIsReadAndALatePickKeepsItsBaseline) {
  FakeClock linuxClock;
  FakePlatform linuxPlatform(linuxClock);
  linuxPlatform.setTaskInfoComesWithBasicInfo(true);
  linuxPlatform.setStateFollowsLatestRefresh(true);
  linuxPlatform.setExitWatch(true);
  auto linuxSource = ProcessInfoSource::new_with_specifics(linuxPlatform);
  const auto& records = linuxSource.processes();
  linuxPlatform.addProcess(1, 0, 100, "init");
  linuxPlatform.addProcess(42, 1, 100, "busy");
  linuxPlatform.addProcess(43, 1, 100, "idle");
  linuxPlatform.setMemory(43, 4096, 8192);
  linuxPlatform.addCpuTime(42, seconds(1));
  using Coverage = ProcessInfoSource::Coverage;
  // A command's refresh reads every process; nothing is watched yet.
  Picker pick({});
  linuxSource.refresh_processes_specifics(ALL, pick.picker(), Coverage::everyProcess);

  // The next sample picks 42, which step one left unread: it is read then,
  // with the baseline of the refresh before, so its usage is real.
  linuxPlatform.resetCalls();
  linuxPlatform.advance(seconds(1));
  linuxPlatform.addCpuTime(42, milliseconds(500));
  linuxPlatform.setMemory(43, 1, 1);
  pick.watched = {42};
  linuxSource.refresh_processes_specifics(ALL, pick.picker(), Coverage::changedAndPicked);
  EXPECT_NEAR(records.at(42).cpuUsage, 50.0F, 1.0F);
  EXPECT_EQ(linuxPlatform.calls().basicInfo, 1U) << "init and 43 have not ended: left unread";
  EXPECT_EQ(records.at(43).residentMemory, 4096U) << "as last read";
  EXPECT_EQ(pick.recordsSeen, 3U) << "every listed process keeps its record";

  // 43's pid goes to a new process, a child of 42, and a new process
  // starts: both are read, and 42 as a watched process; init is not.
  linuxPlatform.resetCalls();
  linuxPlatform.advance(seconds(1));
  linuxPlatform.addProcess(43, 42, 102, "reused");
  linuxPlatform.addProcess(44, 42, 102, "new");
  linuxSource.refresh_processes_specifics(ALL, pick.picker(), Coverage::changedAndPicked);
  EXPECT_EQ(linuxPlatform.calls().basicInfo, 3U);
  EXPECT_EQ(records.at(43).name, "reused");
  EXPECT_EQ(records.at(43).parentPid, 42U);
  EXPECT_EQ(records.at(44).parentPid, 42U);
}

// A Linux-like fake: task information with the basic values, the state
// from the latest reading, and an exit watch.
struct WatchedWorld {
  FakeClock clock;
  FakePlatform platform{clock};
  ProcessInfoSource source = ProcessInfoSource::new_with_specifics(platform);
  WatchedWorld() {
    platform.setTaskInfoComesWithBasicInfo(true);
    platform.setStateFollowsLatestRefresh(true);
    platform.setExitWatch(true);
  }
  void endAsZombie(std::uint32_t pid) {
    platform.setState(pid, ProcessState(ProcessState::Kind::Zombie));
    platform.process(pid).ended = true;
    platform.process(pid).argumentArea.reset();
  }
};

// A pid taken by another process within the same clock tick has the same
// start time to the last digit; only the exit watch, which saw the first
// process end, tells them apart. The newcomer gets a record of its own:
// its own name, a fresh CPU baseline and a higher succession.
TEST(SourceExitWatchTest, APidTakenAgainWithinTheSameTickGetsARecordOfItsOwn) {
  using Coverage = ProcessInfoSource::Coverage;
  struct Case {
    const char* name;
    bool zombieSampledFirst;  // the first process is seen as a zombie before the pid is taken again
    bool watched;             // the pid is picked (watched by the parent)
    Coverage coverage;
  };
  const Case cases[] = {
      {"ended and taken between two samples, watched", false, true, Coverage::changedAndPicked},
      {"ended and taken between two samples, unwatched", false, false, Coverage::changedAndPicked},
      {"ended and taken between two full refreshes", false, true, Coverage::everyProcess},
      {"seen as a zombie, then reaped and taken", true, true, Coverage::changedAndPicked},
      {"seen as a zombie unwatched, then reaped and taken", true, false, Coverage::changedAndPicked},
  };
  for (const Case& c : cases) {
    WatchedWorld world;
    world.platform.addProcess(1, 0, 100, "init");
    world.platform.addProcess(50, 1, 100, "first", {"first", "--a"});
    world.platform.setStartInstant(50, 7777);
    world.platform.addCpuTime(50, seconds(1));
    Picker pick(c.watched ? std::vector<std::uint32_t>{50} : std::vector<std::uint32_t>{});
    world.source.refresh_processes_specifics(ALL, pick.picker(), Coverage::everyProcess);
    world.platform.advance(seconds(1));
    world.source.refresh_processes_specifics(ALL, pick.picker(), c.coverage);
    const std::uint32_t firstSuccession = world.source.processes().at(50).succession;

    if (c.zombieSampledFirst) {
      world.endAsZombie(50);
      world.platform.advance(seconds(1));
      world.source.refresh_processes_specifics(ALL, pick.picker(), c.coverage);
      ASSERT_EQ(world.source.processes().at(50).name, "first") << c.name << ": the zombie is the same process";
      EXPECT_EQ(world.source.processes().at(50).processState.kind(), ProcessState::Kind::Zombie) << c.name;
    } else {
      world.endAsZombie(50);  // ends; its end is reported at the next refresh
    }
    // The pid goes to another process that started in the same tick.
    world.platform.addProcess(50, 1, 100, "second", {"second", "--b"});
    world.platform.setStartInstant(50, 7777);
    world.platform.addCpuTime(50, seconds(5));
    world.platform.advance(seconds(1));
    world.source.refresh_processes_specifics(ALL, pick.picker(), c.coverage);

    const ProcessInfo& record = world.source.processes().at(50);
    EXPECT_EQ(record.name, "second") << c.name;
    EXPECT_EQ(record.processState.kind(), ProcessState::Kind::Run) << c.name;
    EXPECT_GT(record.succession, firstSuccession) << c.name;
    EXPECT_EQ(record.cpuUsage, 0.0F) << c.name << ": no usage across two processes";
    if (c.watched) {
      EXPECT_THAT(record.commandLine, ElementsAre("second", "--b")) << c.name;
    }

    // And it is an ordinary process from then on: its own end is seen too.
    world.platform.advance(seconds(1));
    world.platform.addCpuTime(50, milliseconds(500));
    world.source.refresh_processes_specifics(ALL, pick.picker(), c.coverage);
    EXPECT_EQ(world.source.processes().at(50).name, "second") << c.name;
    if (c.watched) {
      EXPECT_NEAR(world.source.processes().at(50).cpuUsage, 50.0F, 1.0F) << c.name;
    }
  }
}

// An unreaped zombie that nobody watches is read once, when its end is
// reported, and then left unread until it is reaped; it is not watched
// again either (its pidfd would be ready at once, every time).
TEST(SourceExitWatchTest, AnUnreapedZombieIsNotReadAgainUntilItIsReaped) {
  using Coverage = ProcessInfoSource::Coverage;
  WatchedWorld world;
  world.platform.addProcess(1, 0, 100, "init");
  for (std::uint32_t pid = 100; pid < 110; ++pid) world.platform.addProcess(pid, 1, 100, "child");
  Picker pick({});
  world.source.refresh_processes_specifics(ALL, pick.picker(), Coverage::everyProcess);
  for (std::uint32_t pid = 100; pid < 110; ++pid) world.endAsZombie(pid);

  world.platform.resetCalls();
  world.source.refresh_processes_specifics(ALL, pick.picker(), Coverage::changedAndPicked);
  EXPECT_EQ(world.platform.calls().basicInfo, 10U) << "each end is read once";
  EXPECT_EQ(world.source.processes().at(100).processState.kind(), ProcessState::Kind::Zombie);
  for (int i = 0; i < 3; ++i) {
    world.platform.resetCalls();
    world.source.refresh_processes_specifics(ALL, pick.picker(), Coverage::changedAndPicked);
    EXPECT_EQ(world.platform.calls().basicInfo, 0U) << "refresh " << i << ": the zombies stay ended";
    EXPECT_EQ(world.source.processes().size(), 11U);
  }

  // Reaped: the record goes; reaped and taken again: a new record.
  world.platform.removeProcess(100);
  world.platform.removeProcess(101);
  world.platform.addProcess(101, 1, 100, "newcomer");
  world.platform.resetCalls();
  world.source.refresh_processes_specifics(ALL, pick.picker(), Coverage::changedAndPicked);
  EXPECT_EQ(world.source.processes().count(100), 0U);
  EXPECT_EQ(world.source.processes().at(101).name, "newcomer");
  EXPECT_EQ(world.platform.calls().basicInfo, 1U) << "only the pid that changed hands";
}

TEST_F(SourceTest, AFailedListingStillAsksThePickerWithAnEmptyMap) {
  platform.addProcess(42, 1, 100, "p");
  Picker pick({42});
  source.refresh_processes_specifics(ALL, pick.picker());
  platform.failListing();
  EXPECT_EQ(source.refresh_processes_specifics(ALL, pick.picker()), 0U);
  EXPECT_EQ(pick.calls, 2U);
  EXPECT_EQ(pick.recordsSeen, 0U);
  EXPECT_TRUE(source.processes().empty());
}

TEST_F(SourceTest, ARecordKeptNamelessAfterAReuseGetsNoDetails) {
  platform.addProcess(9, 1, 100, "old", {"old", "-a"});
  Picker pick({9});
  source.refresh_processes_specifics(ALL, pick.picker());
  FakeProcess& reused = platform.addProcess(9, 1, 200, "new", {"new"});
  reused.argumentArea.reset();
  reused.path.reset();
  platform.resetCalls();
  source.refresh_processes_specifics(ALL, pick.picker());
  EXPECT_EQ(at(9).name, "");
  EXPECT_THAT(at(9).commandLine, ElementsAre("old", "-a"));
  EXPECT_EQ(platform.calls().diskCounters, 0U);
  EXPECT_EQ(platform.calls().threadInfo, 0U);
  EXPECT_EQ(platform.calls().taskInfo, 0U);
}

}  // namespace
}  // namespace sidecar::procinfo
