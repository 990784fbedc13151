// What the macOS backend decides about the pid listing and the per-process
// reads, run against the double of the Darwin kernel: listing growth, the
// zombie lookup, task information and disk counters, the argument area and
// the path with their failures, the clocks and names.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
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
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Ne;

// --- Listing ----------------------------------------------------------------

TEST_F(MacosPlatformTest, ListsEveryProcessFromTheCountThenOneListing) {
  add(1, "launchd");
  add(50, "a");
  add(60, "b");
  MacosPlatform platform(clock);
  std::vector<std::uint32_t> pids;
  ASSERT_TRUE(platform.listPids(pids));
  EXPECT_THAT(pids, ElementsAre(1U, 50U, 60U));
  EXPECT_EQ(kernel.calls.listAllPidsCounts, 1U);
  // The count holds 20 spare entries, so the listing does not fill it.
  EXPECT_THAT(kernel.calls.listAllPidsBufferSizes, ElementsAre(23 * 4));
}

TEST_F(MacosPlatformTest, ListingThatFillsItsBufferIsListedAgainWithMoreRoom) {
  for (int pid = 1; pid <= 5; ++pid) add(pid, "p");
  bool started = false;
  kernel.beforeListing = [&] {
    if (started) return;
    started = true;
    for (int pid = 100; pid < 130; ++pid) add(pid, "new");  // more than the 20 spare
  };
  MacosPlatform platform(clock);
  std::vector<std::uint32_t> pids;
  ASSERT_TRUE(platform.listPids(pids));
  EXPECT_EQ(pids.size(), 35U);
  EXPECT_EQ(pids.back(), 129U);
  EXPECT_THAT(kernel.calls.listAllPidsBufferSizes, ElementsAre(25 * 4, (25 + 64) * 4));
}

TEST_F(MacosPlatformTest, ListingThatKeepsFillingItsBufferFails) {
  add(1, "launchd");
  int next = 1000;
  kernel.beforeListing = [&] {
    for (int i = 0; i < 100; ++i) add(next++, "new");
  };
  MacosPlatform platform(clock);
  std::vector<std::uint32_t> pids;
  EXPECT_FALSE(platform.listPids(pids));
  EXPECT_EQ(kernel.calls.listAllPidsBufferSizes.size(), 8U);
}

TEST_F(MacosPlatformTest, EmptyListingFails) {
  MacosPlatform platform(clock);
  std::vector<std::uint32_t> pids = {7};
  EXPECT_FALSE(platform.listPids(pids));
}

// --- Basic information --------------------------------------------------------

TEST_F(MacosPlatformTest, BasicInformationFindsZombies) {
  add(40, dd::ordinaryProcess(7, 1234, "worker"));
  dd::Process& zombie = add(41, dd::ordinaryProcess(40, 1300, "gone"));
  zombie.status = SZOMB;
  zombie.threads.clear();
  MacosPlatform platform(clock);

  const std::optional<BasicInfo> live = platform.basicInfo(40);
  ASSERT_TRUE(live);
  EXPECT_EQ(live->state, ProcessState(ProcessState::Kind::Run));
  EXPECT_EQ(live->parentPid, 7U);
  EXPECT_EQ(live->startSeconds, 1234U);

  const std::optional<BasicInfo> dead = platform.basicInfo(41);
  ASSERT_TRUE(dead) << "a zombie is found only with a non-zero argument";
  EXPECT_EQ(dead->state, ProcessState(ProcessState::Kind::Zombie));
  EXPECT_EQ(dead->parentPid, 40U);
  EXPECT_EQ(dead->startSeconds, 1300U);
  EXPECT_THAT(kernel.calls.bsdInfoArguments, Each(Ne(0U)));
}

TEST_F(MacosPlatformTest, BasicInformationOfAnotherUsersOrAGoneProcessIsEmpty) {
  add(42, "other").otherUser = true;
  MacosPlatform platform(clock);
  EXPECT_FALSE(platform.basicInfo(42));
  EXPECT_FALSE(platform.basicInfo(43));
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

TEST_F(MacosPlatformTest, UnreadableTaskInformationReadsAsZeros) {
  dd::Process& other = add(63, "other");
  other.otherUser = true;
  other.totalUser = 5;
  dd::Process& zombie = add(64, "zombie");
  zombie.status = SZOMB;
  zombie.totalUser = 5;
  MacosPlatform platform(clock);
  EXPECT_EQ(platform.taskInfo(63), TaskInfo{});
  EXPECT_EQ(platform.taskInfo(64), TaskInfo{});
  EXPECT_EQ(platform.taskInfo(65), TaskInfo{});
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
  EXPECT_FALSE(platform.diskCounters(67));
  EXPECT_FALSE(platform.diskCounters(68));
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
  EXPECT_THAT(kernel.calls.argumentSizes, ElementsAre(0U, area.size() + 4));
}

TEST_F(MacosPlatformTest, ArgumentAreaFailuresLeaveNameAndArgumentsAlone) {
  add(71, "other").otherUser = true;
  add(72, "zombie").status = SZOMB;
  add(73, "none").argumentArea.reset();
  add(74, "short").argumentArea = std::string("\x01\x00", 2);
  MacosPlatform platform(clock);
  for (const std::uint32_t pid : {71U, 72U, 73U, 74U, 75U}) {
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
  EXPECT_FALSE(platform.stateFollowsLatestRefresh());
  EXPECT_STREQ(systemPlatformName(), "macos");
}
}  // namespace
}  // namespace sidecar::procinfo
