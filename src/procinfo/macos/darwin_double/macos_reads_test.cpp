// What the macOS backend decides about the per-process reads, run against
// the double of the Darwin kernel: task information and disk counters, the
// argument area (sized, read with room to spare, never parsed from a tail,
// not asked for again where it cannot be read) and the path with their
// failures, the short name where neither can be read, the clocks and names.
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

// --- Task information ---------------------------------------------------------------

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
  // The system takes a buffer of ARG_MAX + 4 bytes at most (the count comes
  // first), and an area may exceed ARG_MAX: the path and the loader's
  // strings are not charged to the exec limit.
  const auto limit = static_cast<std::size_t>(ARG_MAX) + 4;
  dd::Process& above = add(79, "above");
  std::string area = dd::argumentArea("/usr/bin/above", {"above", "-v"});
  area.resize(static_cast<std::size_t>(ARG_MAX) + 2, '\0');
  above.argumentArea = area;
  MacosPlatform platform(clock);
  std::string name;
  std::vector<std::string> arguments;
  ASSERT_TRUE(platform.readNameAndArguments(79, true, true, name, arguments));
  EXPECT_EQ(name, "above");
  EXPECT_THAT(arguments, ElementsAre("above", "-v"));
  ASSERT_EQ(kernel.calls.argumentSizes.size(), 2U) << "sized and read once";
  EXPECT_EQ(kernel.calls.argumentSizes[1], limit);
}

TEST_F(MacosPlatformTest, AreaLargerThanMayBeReadIsSizedOnceAndNeverRead) {
  // Too large for the largest buffer: a shorter one would get its tail, so
  // it is not read, and not sized again while its process is listed.
  const auto limit = static_cast<std::size_t>(ARG_MAX) + 4;
  add(1, dd::launchd());
  for (const std::size_t size : {limit, limit + 6000}) {
    kernel.calls = {};
    dd::Process& big = add(78, "big");
    std::string area = dd::argumentArea("/usr/bin/big", {"big"});
    area.resize(size, 'E');
    big.argumentArea = area;
    MacosPlatform platform(clock);
    std::vector<std::uint32_t> pids;
    ASSERT_TRUE(platform.listPids(pids));
    for (int sample = 0; sample < 3; ++sample) {
      std::string name = "kept";
      std::vector<std::string> arguments = {"kept"};
      EXPECT_FALSE(platform.readNameAndArguments(78, true, true, name, arguments)) << size;
      EXPECT_EQ(name, "kept");
      EXPECT_THAT(arguments, ElementsAre("kept"));
      ASSERT_TRUE(platform.listPids(pids));
    }
    EXPECT_THAT(kernel.calls.argumentSizes, ElementsAre(0U)) << size;
    // Its path names it.
    std::string name;
    ASSERT_TRUE(platform.readNameFromPath(78, name));
    EXPECT_EQ(name, "big");
  }
}

TEST_F(MacosPlatformTest, OtherUsersAreaIsSizedButNotReadAndNotAskedForAgain) {
  add(1, dd::launchd());
  dd::Process& other = add(71, dd::ordinaryProcess(1, 1000, "other", {"other", "--flag"}));
  other.otherUser = true;
  MacosPlatform platform(clock);
  std::vector<std::uint32_t> pids;
  ASSERT_TRUE(platform.listPids(pids));
  for (int sample = 0; sample < 3; ++sample) {
    std::string name;
    std::vector<std::string> arguments;
    EXPECT_EQ(platform.readNameAndArguments(71, true, true, name, arguments), kernel.root);
    EXPECT_EQ(name, kernel.root ? "other" : "");
    ASSERT_TRUE(platform.listPids(pids));
  }
  if (kernel.root) {
    EXPECT_EQ(kernel.calls.argumentSizes.size(), 6U) << "read at every sample";
    return;
  }
  // The size query succeeds; the read is refused, once.
  ASSERT_EQ(kernel.calls.argumentSizes.size(), 2U);
  EXPECT_EQ(kernel.calls.argumentSizes[0], 0U);
  EXPECT_GT(kernel.calls.argumentSizes[1], 0U);

  // A new process on the pid (another start) is asked for its area again.
  kernel.processes[71] = dd::ordinaryProcess(1, 2000, "mine", {"mine"});
  ASSERT_TRUE(platform.listPids(pids));
  std::string name;
  std::vector<std::string> arguments;
  ASSERT_TRUE(platform.readNameAndArguments(71, true, true, name, arguments));
  EXPECT_EQ(name, "mine");
}

TEST_F(MacosPlatformTest, RestrictedProcessAreaLeavesOutTheEnvironment) {
  dd::Process& process = add(68, "signed");
  process.restricted = true;
  // 4 + 16 (path and padding) + 9 ("a.out", "-v") = 29 bytes, sized as 32:
  // the read gives less than the size query promised.
  dd::setArgumentArea(process, "/bin/signed", {"a.out", "-v"}, {"SECRET_TOKEN=abc"});
  // A count above the arguments present would take the environment's first
  // string for an argument, were it there.
  const std::int32_t three = 3;
  std::memcpy(process.argumentArea->data(), &three, sizeof three);
  MacosPlatform platform(clock);
  std::string name;
  std::vector<std::string> arguments;
  ASSERT_TRUE(platform.readNameAndArguments(68, true, true, name, arguments));
  EXPECT_EQ(name, "signed");
  EXPECT_THAT(arguments, ElementsAre("a.out", "-v"));
  // Another user's restricted process cannot even be sized.
  process.otherUser = true;
  name = "kept";
  EXPECT_EQ(platform.readNameAndArguments(68, true, false, name, arguments), kernel.root);
  EXPECT_EQ(name, kernel.root ? "signed" : "kept");
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
  // Not listed: no short name to fall back on.
  for (const std::uint32_t pid : {81U, 82U, 83U}) {
    name = "kept";
    EXPECT_FALSE(platform.readNameFromPath(pid, name)) << pid;
    EXPECT_EQ(name, "kept") << pid;
  }
}

TEST_F(MacosPlatformTest, ShortNameNamesWhatHasNeitherAreaNorPath) {
  add(0, dd::kernelTask());
  add(1, dd::launchd());
  add(81, "zombie").status = SZOMB;
  add(82, "pathless").path.reset();   // its executable deleted
  add(84, "leaving").exiting = true;  // in its exit window: every read fails
  dd::Process& longName = add(85, dd::ordinaryProcess(1, 1000, "a-rather-long-program-name"));
  longName.path.reset();
  longName.argumentArea.reset();
  MacosPlatform platform(clock);
  std::vector<std::uint32_t> pids;
  ASSERT_TRUE(platform.listPids(pids));
  const struct Case {
    std::uint32_t pid;
    const char* name;
    bool areaAsked;
  } cases[] = {
      {0, "kernel_task", false},
      {81, "zombie", false},
      {82, "pathless", true},
      {84, "leaving", false},
      {85, "a-rather-long-pr", true},  // the kernel keeps 16 bytes
  };
  for (const Case& c : cases) {
    kernel.calls = {};
    std::string name = "kept";
    std::vector<std::string> arguments = {"kept"};
    const bool read = platform.readNameAndArguments(c.pid, true, true, name, arguments);
    EXPECT_EQ(read, c.pid == 82) << c.pid;
    EXPECT_EQ(kernel.calls.argumentSizes.empty(), !c.areaAsked) << c.pid;
    name.clear();
    ASSERT_TRUE(platform.readNameFromPath(c.pid, name)) << c.pid;
    EXPECT_EQ(name, c.name) << c.pid;
  }
  // Pid 0, a zombie and an exiting process are not asked for a path either.
  kernel.calls = {};
  std::string name;
  for (const std::uint32_t pid : {0U, 81U, 84U}) ASSERT_TRUE(platform.readNameFromPath(pid, name));
  EXPECT_EQ(kernel.calls.path, 0U);
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
