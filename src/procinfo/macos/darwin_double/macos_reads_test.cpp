// What the macOS backend decides about the pid listing and the per-process
// reads, run against the double of the Darwin kernel: the process table and
// the basic values from it, task information and disk counters, the
// argument area (sized, read with room to spare, never parsed from a tail)
// and the path with their failures, the clocks and names.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/syslimits.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "procinfo/macos/darwin_double/darwin_double.h"
#include "procinfo/macos/darwin_double/macos_platform_fixture.h"
#include "procinfo/macos/macos_platform.h"

namespace sidecar::procinfo {
namespace {

namespace dd = darwin_double;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// --- Listing and basic information -------------------------------------------------

TEST_F(MacosPlatformTest, OneTableReadListsEveryProcessWithItsBasicValues) {
  add(1, dd::ordinaryProcess(0, 100, "launchd"));
  dd::Process& app = add(50, dd::ordinaryProcess(1, 1'700'000'000, "app"));
  app.startMicroseconds = 250'000;
  dd::Process& other = add(60, dd::ordinaryProcess(50, 1'700'000'100, "sudo"));
  other.otherUser = true;  // setuid, under the app: still listed, with its parent
  dd::Process& zombie = add(40, dd::ordinaryProcess(50, 1'700'000'200, "gone"));
  zombie.status = SZOMB;
  zombie.threads.clear();
  dd::Process& stopped = add(70, dd::ordinaryProcess(1, 1'700'000'050, "stopped"));
  stopped.status = SSTOP;
  add(80, dd::ordinaryProcess(1, 1'700'000'060, "starting")).status = SIDL;
  MacosPlatform platform(clock);
  std::vector<std::uint32_t> pids = {7};
  ASSERT_TRUE(platform.listPids(pids));
  // As the system lists them: newest first, zombies last.
  EXPECT_THAT(pids, ElementsAre(60U, 80U, 70U, 50U, 1U, 40U));
  EXPECT_EQ(kernel.calls.processTableSizes, 1U);
  EXPECT_EQ(kernel.calls.processTableReads.size(), 1U);

  struct Row {
    std::uint32_t pid;
    ProcessState state;
    std::uint32_t parent;
    std::uint64_t seconds;
    std::uint64_t instant;
  };
  using Kind = ProcessState::Kind;
  const Row rows[] = {
      {1, ProcessState(Kind::Run), 0, 100, 100'000'000},
      {50, ProcessState(Kind::Run), 1, 1'700'000'000, 1'700'000'000'250'000},
      {60, ProcessState(Kind::Run), 50, 1'700'000'100, 1'700'000'100'000'000},
      {40, ProcessState(Kind::Zombie), 50, 1'700'000'200, 1'700'000'200'000'000},
      {70, ProcessState(Kind::Stop), 1, 1'700'000'050, 1'700'000'050'000'000},
      {80, ProcessState(Kind::Idle), 1, 1'700'000'060, 1'700'000'060'000'000},
  };
  for (const Row& row : rows) {
    const std::optional<BasicInfo> basic = platform.basicInfo(row.pid);
    ASSERT_TRUE(basic) << row.pid;
    EXPECT_EQ(basic->state, row.state) << row.pid;
    EXPECT_EQ(basic->parentPid, row.parent) << row.pid;
    EXPECT_EQ(basic->startSeconds, row.seconds) << row.pid;
    EXPECT_EQ(basic->startInstant, row.instant) << row.pid;
  }
  // Answered from the listing: no call per process.
  EXPECT_THAT(kernel.calls.processReads, IsEmpty());
  EXPECT_EQ(kernel.calls.processTableReads.size(), 1U);
}

TEST_F(MacosPlatformTest, ProcessNotInTheListingIsReadOnItsOwn) {
  MacosPlatform platform(clock);
  add(1, "launchd");
  std::vector<std::uint32_t> pids;
  ASSERT_TRUE(platform.listPids(pids));
  dd::Process& late = add(90, dd::ordinaryProcess(1, 1234, "late"));
  late.otherUser = true;
  const std::optional<BasicInfo> basic = platform.basicInfo(90);
  ASSERT_TRUE(basic);
  EXPECT_EQ(basic->parentPid, 1U);
  EXPECT_EQ(basic->startSeconds, 1234U);
  EXPECT_FALSE(platform.basicInfo(91)) << "no such process";
  EXPECT_THAT(kernel.calls.processReads, ElementsAre(90, 91));

  // The next listing drops what has gone.
  kernel.processes.erase(1);
  ASSERT_TRUE(platform.listPids(pids));
  EXPECT_THAT(pids, ElementsAre(90U));
  EXPECT_FALSE(platform.basicInfo(1));
}

TEST_F(MacosPlatformTest, TableThatGrowsAfterItsSizeIsReadAgain) {
  for (int pid = 1; pid <= 5; ++pid) add(pid, "p");
  bool started = false;
  kernel.beforeListing = [&] {
    if (started) return;
    started = true;
    for (int pid = 100; pid < 200; ++pid) add(pid, "new");  // more than the slack
  };
  MacosPlatform platform(clock);
  std::vector<std::uint32_t> pids;
  ASSERT_TRUE(platform.listPids(pids));
  EXPECT_EQ(pids.size(), 105U);
  EXPECT_EQ(kernel.calls.processTableSizes, 2U);
  ASSERT_EQ(kernel.calls.processTableReads.size(), 2U);
  EXPECT_GT(kernel.calls.processTableReads[1], kernel.calls.processTableReads[0]);
  EXPECT_TRUE(platform.basicInfo(150));
  EXPECT_THAT(kernel.calls.processReads, IsEmpty());
}

TEST_F(MacosPlatformTest, TableThatKeepsGrowingFails) {
  add(1, "launchd");
  int next = 1000;
  kernel.beforeListing = [&] {
    for (int i = 0; i < 200; ++i) add(next++, "new");
  };
  MacosPlatform platform(clock);
  std::vector<std::uint32_t> pids;
  EXPECT_FALSE(platform.listPids(pids));
  EXPECT_EQ(kernel.calls.processTableReads.size(), 8U);
}

TEST_F(MacosPlatformTest, EmptyListingFails) {
  MacosPlatform platform(clock);
  std::vector<std::uint32_t> pids = {7};
  EXPECT_FALSE(platform.listPids(pids));
}

TEST_F(MacosPlatformTest, TaskTotalsStayInAbsoluteTimeUnits) {
  dd::Process& process = add(62, "app");
  process.totalUser = 24'000'000;
  process.totalSystem = 3;
  process.residentSize = 4096;
  process.virtualSize = 1 << 30;
  MacosPlatform platform(clock);
  EXPECT_EQ(platform.taskInfo(62), (TaskInfo{24'000'000, 3, 4096, 1 << 30}));
}

TEST_F(MacosPlatformTest, UnreadableTaskInformationIsEmpty) {
  dd::Process& other = add(63, "other");
  other.otherUser = true;
  other.totalUser = 5;
  dd::Process& zombie = add(64, "zombie");
  zombie.status = SZOMB;
  zombie.totalUser = 5;
  MacosPlatform platform(clock);
  EXPECT_EQ(platform.taskInfo(63), kernel.root ? std::optional(TaskInfo{5, 0, 0, 0}) : std::nullopt);
  EXPECT_EQ(platform.taskInfo(64), std::nullopt);
  EXPECT_EQ(platform.taskInfo(65), std::nullopt);
}

// --- Disk counters --------------------------------------------------------------

TEST_F(MacosPlatformTest, DiskCountersAndTheirFailure) {
  dd::Process& process = add(66, "io");
  process.bytesRead = 10;
  process.bytesWritten = 20;
  add(67, "other").otherUser = true;
  MacosPlatform platform(clock);
  const std::optional<DiskCounters> disk = platform.diskCounters(66);
  ASSERT_TRUE(disk);
  EXPECT_EQ(disk->bytesRead, 10U);
  EXPECT_EQ(disk->bytesWritten, 20U);
  EXPECT_EQ(platform.diskCounters(67).has_value(), kernel.root);
  EXPECT_FALSE(platform.diskCounters(68));
  // A zombie's totals are kept until it is reaped.
  process.status = SZOMB;
  ASSERT_TRUE(platform.diskCounters(66));
  EXPECT_EQ(platform.diskCounters(66)->bytesWritten, 20U);
}

// --- Argument area and path -------------------------------------------------------

TEST_F(MacosPlatformTest, ArgumentAreaIsReadToItsTrueLength) {
  dd::Process& process = add(70, "tool");
  // The count promises three arguments, the area holds two: anything taken
  // from past the true length (the double leaves junk there) would show.
  std::string area = dd::argumentArea("/opt/bin/tool", {"tool", "-v"});
  const std::int32_t three = 3;
  std::memcpy(area.data(), &three, sizeof three);
  process.argumentArea = area;
  MacosPlatform platform(clock);
  std::string name;
  std::vector<std::string> arguments = {"old"};
  ASSERT_TRUE(platform.readNameAndArguments(70, true, true, name, arguments));
  EXPECT_EQ(name, "tool");
  EXPECT_THAT(arguments, ElementsAre("tool", "-v"));
  // Sized, then read into more room than the size learned.
  ASSERT_EQ(kernel.calls.argumentSizes.size(), 2U);
  EXPECT_EQ(kernel.calls.argumentSizes[0], 0U);
  EXPECT_GT(kernel.calls.argumentSizes[1], area.size());
  EXPECT_LE(kernel.calls.argumentSizes[1], static_cast<std::size_t>(ARG_MAX));
}

TEST_F(MacosPlatformTest, ArgumentAreaThatGrowsAfterItsSizeIsReadAgainNeverByItsTail) {
  // The process execs between the size query and the read; the kernel then
  // answers a buffer too short with the new area's end. Parsing that would
  // take an environment fragment for the path.
  dd::Process& process = add(77, "before");
  const std::string grown =
      dd::argumentArea("/usr/bin/after", {"after", std::string(3000, 'a')}, {"SECRET_TOKEN=abc", "COOL=1"});
  int sized = 0;
  kernel.afterArgumentSize = [&] {
    if (++sized == 1) process.argumentArea = grown;
  };
  MacosPlatform platform(clock);
  std::string name;
  std::vector<std::string> arguments;
  ASSERT_TRUE(platform.readNameAndArguments(77, true, true, name, arguments));
  EXPECT_EQ(name, "after");
  ASSERT_EQ(arguments.size(), 2U);
  EXPECT_EQ(arguments[0], "after");
  EXPECT_EQ(kernel.calls.argumentSizes.size(), 4U) << "sized and read twice";

  // An area that grows at every size query is never read whole: no name
  // from it, and the caller falls back to the path.
  std::size_t length = 2000;
  kernel.afterArgumentSize = [&] {
    length += 4000;
    process.argumentArea = dd::argumentArea("/usr/bin/" + std::string(length, 'x'), {"x"}, {"SECRET_TOKEN=abc"});
  };
  name = "kept";
  arguments = {"kept"};
  EXPECT_FALSE(platform.readNameAndArguments(77, true, true, name, arguments));
  EXPECT_EQ(name, "kept");
  EXPECT_THAT(arguments, ElementsAre("kept"));
}

TEST_F(MacosPlatformTest, ArgumentAreaBufferStaysWithinTheLimit) {
  // An area as large as the system allows: the buffer is capped at ARG_MAX
  // (a larger one is refused), and a reply that fills it is not parsed.
  const auto limit = static_cast<std::size_t>(ARG_MAX);
  dd::Process& big = add(78, "big");
  std::string area = dd::argumentArea("/usr/bin/big", {"big"});
  area.resize(limit, 'E');
  big.argumentArea = area;
  dd::Process& near = add(79, "near");
  std::string nearArea = dd::argumentArea("/usr/bin/near", {"near", "-v"});
  nearArea.resize(limit - 100, '\0');
  near.argumentArea = nearArea;
  MacosPlatform platform(clock);
  std::string name = "kept";
  std::vector<std::string> arguments;
  EXPECT_FALSE(platform.readNameAndArguments(78, true, true, name, arguments));
  EXPECT_EQ(name, "kept");
  ASSERT_TRUE(platform.readNameAndArguments(79, true, true, name, arguments));
  EXPECT_EQ(name, "near");
  EXPECT_THAT(arguments, ElementsAre("near", "-v"));
  for (const std::size_t size : kernel.calls.argumentSizes) EXPECT_LE(size, limit);
}

TEST_F(MacosPlatformTest, EmptyFirstArgumentKeepsTheEnvironmentOut) {
  add(69, "tool").argumentArea = dd::argumentArea("/usr/bin/tool", {"", "-x"}, {"SECRET_TOKEN=abc"});
  MacosPlatform platform(clock);
  std::string name;
  std::vector<std::string> arguments;
  ASSERT_TRUE(platform.readNameAndArguments(69, true, true, name, arguments));
  EXPECT_EQ(name, "tool");
  EXPECT_THAT(arguments, ElementsAre("-x"));
}

TEST_F(MacosPlatformTest, ArgumentAreaFailuresLeaveNameAndArgumentsAlone) {
  add(71, "other").otherUser = true;
  add(72, "zombie").status = SZOMB;
  add(73, "none").argumentArea.reset();
  add(74, "short").argumentArea = std::string("\x01\x00", 2);
  MacosPlatform platform(clock);
  if (kernel.root) {
    std::string name;
    std::vector<std::string> arguments;
    EXPECT_TRUE(platform.readNameAndArguments(71, true, true, name, arguments));
    EXPECT_EQ(name, "other");
  }
  for (const std::uint32_t pid : {71U, 72U, 73U, 74U, 75U}) {
    if (pid == 71U && kernel.root) continue;
    std::string name = "kept";
    std::vector<std::string> arguments = {"kept"};
    EXPECT_FALSE(platform.readNameAndArguments(pid, true, true, name, arguments)) << pid;
    EXPECT_EQ(name, "kept") << pid;
    EXPECT_THAT(arguments, ElementsAre("kept")) << pid;
  }
}

TEST_F(MacosPlatformTest, EmptyArgumentAreaCountsAsUnreadable) {
  add(76, "empty").argumentArea = std::string();
  MacosPlatform platform(clock);
  std::string name = "kept";
  std::vector<std::string> arguments;
  EXPECT_FALSE(platform.readNameAndArguments(76, true, false, name, arguments));
  EXPECT_EQ(name, "kept");
}

TEST_F(MacosPlatformTest, NameFromThePathWorksForOtherUsersButNotForZombies) {
  dd::Process& other = add(80, "other");
  other.otherUser = true;
  other.path = "/usr/sbin/other.d/";
  add(81, "zombie").status = SZOMB;
  add(82, "pathless").path.reset();
  MacosPlatform platform(clock);
  std::string name;
  ASSERT_TRUE(platform.readNameFromPath(80, name));
  EXPECT_EQ(name, "other.d");
  for (const std::uint32_t pid : {81U, 82U, 83U}) {
    name = "kept";
    EXPECT_FALSE(platform.readNameFromPath(pid, name)) << pid;
    EXPECT_EQ(name, "kept") << pid;
  }
}

TEST_F(MacosPlatformTest, LongestPathIsRead) {
  const std::string path = "/" + std::string(4000, 'd') + "/tail";
  add(84, "long").path = path;
  MacosPlatform platform(clock);
  std::string name;
  ASSERT_TRUE(platform.readNameFromPath(84, name));
  EXPECT_EQ(name, "tail");
}
// --- Clocks and names ---------------------------------------------------------------

TEST_F(MacosPlatformTest, TimeTicksAndNames) {
  kernel.absoluteTime = 123456789;
  MacosPlatform platform(clock);
  EXPECT_EQ(platform.absoluteTime(), 123456789U);
  EXPECT_EQ(platform.clockTicksPerSecond(), static_cast<std::uint64_t>(sysconf(_SC_CLK_TCK)));
  EXPECT_EQ(&platform.clock(), &clock);
  EXPECT_TRUE(platform.stateFollowsLatestRefresh());
  EXPECT_STREQ(systemPlatformName(), "macos");
}
}  // namespace
}  // namespace sidecar::procinfo
