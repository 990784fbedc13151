#include "sampling/sampler.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "procinfo/fake/fake_clock.h"
#include "procinfo/fake/fake_platform.h"
#include "sampling/utf8_text.h"

namespace sidecar::sampling {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

constexpr std::uint64_t NOW_S = 1'767'225'600;  // the fake wall clock at start

std::vector<std::uint32_t> pidsOf(const protocol::Snapshot& snapshot) {
  std::vector<std::uint32_t> pids;
  for (const auto& sample : snapshot.processes) {
    pids.push_back(sample.pid);
  }
  return pids;
}

class SamplerTest : public ::testing::Test {
 protected:
  SamplerTest() : platform_(clock_) {
    platform_.addProcess(1, 0, NOW_S - 5000, "init");
    // Inserted out of pid order; the map iterates in no particular order.
    platform_.addProcess(300, 100, NOW_S - 50, "grandchild", {"grandchild", "--deep"});
    platform_.addProcess(100, 1, NOW_S - 100, "root", {"root", "-v"});
    platform_.addProcess(250, 100, NOW_S - 60, "child-b");
    platform_.addProcess(200, 100, NOW_S - 70, "child-a", {"child-a"});
    platform_.addProcess(400, 1, NOW_S - 30, "other");
  }

  procinfo::FakeClock clock_;
  procinfo::FakePlatform platform_;
};

TEST_F(SamplerTest, WaitsOutTheRefreshSpacingOutsideTheCollection) {
  Sampler sampler(platform_, clock_);
  // First refresh of the run: no wait.
  sampler.takeSnapshot(100, {}, std::nullopt);
  EXPECT_TRUE(clock_.sleeps().empty());

  // Right after a refresh: the whole 200 ms.
  const protocol::Snapshot second = sampler.takeSnapshot(100, {}, std::nullopt);
  EXPECT_THAT(clock_.sleeps(), ElementsAre(200ms));
  EXPECT_EQ(second.collectionDurationMicros, 0U);  // the wait is not counted

  // Part of the spacing has passed: only the rest.
  clock_.advance(150ms);
  sampler.takeSnapshot(100, {}, std::nullopt);
  EXPECT_THAT(clock_.sleeps(), ElementsAre(200ms, 50ms));

  // Enough has passed: no wait.
  clock_.advance(200ms);
  sampler.takeSnapshot(100, {}, std::nullopt);
  EXPECT_EQ(clock_.sleeps().size(), 2U);

  // prime never waits but counts as a refresh for the next snapshot.
  sampler.prime(100, {});
  sampler.prime(100, {});
  EXPECT_EQ(clock_.sleeps().size(), 2U);
  clock_.advance(10ms);
  sampler.takeSnapshot(100, {}, std::nullopt);
  EXPECT_THAT(clock_.sleeps(), ElementsAre(200ms, 50ms, 190ms));

  // A monotonic clock that went backwards counts as no time elapsed.
  clock_.setMonotonic(clock_.monotonicNow() - 1s);
  sampler.takeSnapshot(100, {}, std::nullopt);
  EXPECT_THAT(clock_.sleeps(), ElementsAre(200ms, 50ms, 190ms, 200ms));
}

TEST_F(SamplerTest, NumbersSnapshotsAndPrimeLeavesTheSequence) {
  Sampler sampler(platform_, clock_);
  EXPECT_EQ(sampler.sequence(), 0U);
  sampler.prime(100, {});
  EXPECT_EQ(sampler.sequence(), 0U);
  EXPECT_TRUE(sampler.lastRefreshAt().has_value());
  EXPECT_EQ(sampler.takeSnapshot(100, {}, std::nullopt).sequence, 1U);
  EXPECT_EQ(sampler.takeSnapshot(100, {}, "now-1").sequence, 2U);
  sampler.prime(100, {});
  EXPECT_EQ(sampler.takeSnapshot(100, {}, std::nullopt).sequence, 3U);
}

TEST_F(SamplerTest, SamplesTheTreeSortedByPidWithCountsAndTimes) {
  platform_.setMemory(200, 4096, 8192);
  platform_.setDisk(200, 11, 22);
  Sampler sampler(platform_, clock_);
  const ExternalProcessMap externals = {{400, (NOW_S - 30) * 1000 + 999}, {999, std::nullopt}};
  const protocol::Snapshot snapshot = sampler.takeSnapshot(100, externals, "req-1");

  EXPECT_EQ(snapshot.version, 3U);
  EXPECT_EQ(snapshot.requestId, "req-1");
  EXPECT_THAT(pidsOf(snapshot), ElementsAre(100, 200, 250, 300, 400));
  EXPECT_THAT(snapshot.externalProcesses, ElementsAre(protocol::ExternalProcess{400, (NOW_S - 30) * 1000}));
  EXPECT_EQ(snapshot.scannedProcessCount, 6U);
  EXPECT_EQ(snapshot.retainedProcessCount, 5U);
  EXPECT_EQ(snapshot.inaccessibleProcessCount, 0U);
  EXPECT_EQ(snapshot.sampledAtUnixMs, NOW_S * 1000);

  const protocol::ProcessSample& childA = snapshot.processes[1];
  EXPECT_EQ(childA.ppid, 100U);
  EXPECT_EQ(childA.startTimeMs, (NOW_S - 70) * 1000);
  EXPECT_EQ(childA.runTimeMs, 70'000U);
  EXPECT_EQ(childA.name, "child-a");
  EXPECT_EQ(childA.command, "child-a");
  EXPECT_EQ(childA.status, procinfo::statusText(procinfo::reportedStatus(sampler.source().processes().at(200))));
  EXPECT_EQ(childA.residentBytes, 4096U);
  EXPECT_EQ(childA.virtualBytes, 8192U);
  EXPECT_EQ(childA.ioReadBytes, 11U);
  EXPECT_EQ(childA.ioWriteBytes, 22U);
  EXPECT_EQ(childA.ioSemantics, protocol::IoSemantics::Storage);
  EXPECT_EQ(snapshot.processes[0].command, "root -v");
  EXPECT_EQ(snapshot.processes[2].command, "child-b");  // no arguments: the name
  EXPECT_EQ(snapshot.processes[3].command, "grandchild --deep");

  // The wall clock goes back: the stamp follows it, the sequence still rises.
  clock_.setWall(clock_.wallNow() - 600s);
  clock_.advance(1s);
  const protocol::Snapshot later = sampler.takeSnapshot(100, {}, std::nullopt);
  EXPECT_EQ(later.sampledAtUnixMs, (NOW_S - 599) * 1000);
  EXPECT_EQ(later.sequence, 2U);
  EXPECT_FALSE(later.requestId.has_value());

  // Before the epoch the stamp is 0.
  clock_.setWall(-5s);
  EXPECT_EQ(sampler.takeSnapshot(100, {}, std::nullopt).sampledAtUnixMs, 0U);
}

TEST_F(SamplerTest, ReadsTheDetailsOfTheWatchedProcessesOnly) {
  Sampler sampler(platform_, clock_);
  sampler.prime(100, {});
  // Every process's basic values, the details of the tree of 100 (100, 200,
  // 250, 300) only, at the prime as at each snapshot.
  EXPECT_EQ(platform_.calls().basicInfo, 6U);
  EXPECT_EQ(platform_.calls().diskCounters, 4U);
  EXPECT_EQ(platform_.calls().taskInfo, 4U);
  platform_.resetCalls();
  clock_.advance(1s);
  const ExternalProcessMap externals = {{400, std::nullopt}};
  const protocol::Snapshot snapshot = sampler.takeSnapshot(100, externals, std::nullopt);
  EXPECT_THAT(pidsOf(snapshot), ElementsAre(100, 200, 250, 300, 400));
  EXPECT_EQ(platform_.calls().basicInfo, 6U);
  EXPECT_EQ(platform_.calls().diskCounters, 5U);
  EXPECT_EQ(platform_.calls().threadInfo, 5U);
  EXPECT_EQ(platform_.calls().readNameAndArguments, 5U) << "the watched command lines; every name is known";
  EXPECT_EQ(sampler.source().processes().at(1).commandLine.size(), 0U) << "init is never watched";
}

TEST_F(SamplerTest, APidReusedWithinTheSameSecondIsANewProcessAndNotTheExternal) {
  platform_.setStartInstant(400, 70);
  platform_.addProcess(401, 400, NOW_S - 30, "other-child");
  const ExternalProcessMap externals =
      makeExternalProcessMap(std::vector<protocol::ExternalProcess>{{400, (NOW_S - 30) * 1000 + 999}});
  Sampler sampler(platform_, clock_);
  sampler.prime(100, externals);
  protocol::Snapshot snapshot = sampler.takeSnapshot(100, externals, std::nullopt);
  EXPECT_THAT(pidsOf(snapshot), ElementsAre(100, 200, 250, 300, 400, 401));
  ASSERT_EQ(snapshot.externalProcesses.size(), 1U);

  // 400 exits and its pid is taken in the same second, as is the root's.
  platform_.removeProcess(401);
  platform_.addProcess(400, 1, NOW_S - 30, "impostor");
  platform_.setStartInstant(400, 71);
  platform_.addProcess(100, 1, NOW_S - 100, "new-root", {"new-root"});
  platform_.setStartInstant(100, 1);
  snapshot = sampler.takeSnapshot(100, externals, std::nullopt);
  EXPECT_TRUE(snapshot.externalProcesses.empty());
  EXPECT_THAT(pidsOf(snapshot), ElementsAre(100, 200, 250, 300));
  EXPECT_EQ(snapshot.processes.front().name, "new-root");
}

// Within the same clock tick the start times are equal to the last digit;
// where the platform has an exit watch, the end it saw tells the newcomer
// from the external process the parent named, also when the first process
// was sampled as a zombie before it was reaped.
TEST_F(SamplerTest, APidReusedWithinTheSameTickIsNotTheExternalWhereAnExitWatchSawTheEnd) {
  for (const bool zombieSampledFirst : {false, true}) {
    procinfo::FakeClock clock;
    procinfo::FakePlatform platform(clock);
    platform.setTaskInfoComesWithBasicInfo(true);
    platform.setStateFollowsLatestRefresh(true);
    platform.setExitWatch(true);
    platform.addProcess(1, 0, NOW_S - 5000, "init");
    platform.addProcess(400, 1, NOW_S - 30, "named", {"named"});
    platform.setStartInstant(400, 70);
    const ExternalProcessMap externals =
        makeExternalProcessMap(std::vector<protocol::ExternalProcess>{{400, (NOW_S - 30) * 1000}});
    Sampler sampler(platform, clock);
    sampler.prime(0, externals);
    protocol::Snapshot snapshot = sampler.takeSnapshot(0, externals, std::nullopt);
    ASSERT_EQ(snapshot.externalProcesses.size(), 1U) << zombieSampledFirst;

    platform.setState(400, procinfo::ProcessState(procinfo::ProcessState::Kind::Zombie));
    platform.process(400).ended = true;
    if (zombieSampledFirst) {
      clock.advance(1s);
      snapshot = sampler.takeSnapshot(0, externals, std::nullopt);
      ASSERT_EQ(snapshot.externalProcesses.size(), 1U) << "the zombie is still the named process";
      EXPECT_EQ(snapshot.processes.at(0).status, "Zombie");
    }
    platform.addProcess(400, 1, NOW_S - 30, "impostor", {"impostor"});
    platform.setStartInstant(400, 70);
    clock.advance(1s);
    snapshot = sampler.takeSnapshot(0, externals, std::nullopt);
    EXPECT_TRUE(snapshot.externalProcesses.empty()) << zombieSampledFirst;
    EXPECT_TRUE(snapshot.processes.empty()) << zombieSampledFirst;
    EXPECT_EQ(sampler.source().processes().at(400).name, "impostor") << zombieSampledFirst;
  }
}

TEST_F(SamplerTest, ExitedRootGivesAnEmptySnapshot) {
  Sampler sampler(platform_, clock_);
  const protocol::Snapshot snapshot = sampler.takeSnapshot(12345, {{77, std::nullopt}}, std::nullopt);
  EXPECT_TRUE(snapshot.processes.empty());
  EXPECT_TRUE(snapshot.externalProcesses.empty());
  EXPECT_EQ(snapshot.scannedProcessCount, 6U);
  EXPECT_EQ(snapshot.retainedProcessCount, 0U);
  EXPECT_EQ(snapshot.inaccessibleProcessCount, 0U);

  // A failed listing: nothing scanned, nothing selected; the root and each
  // external process named count as inaccessible, which tells it from a
  // tree that has ended.
  platform_.failListing();
  clock_.advance(1s);
  const protocol::Snapshot failed = sampler.takeSnapshot(100, {}, std::nullopt);
  EXPECT_EQ(failed.scannedProcessCount, 0U);
  EXPECT_TRUE(failed.processes.empty());
  EXPECT_EQ(failed.inaccessibleProcessCount, 1U);
  platform_.failListing();
  clock_.advance(1s);
  const protocol::Snapshot named = sampler.takeSnapshot(100, {{77, std::nullopt}, {100, 5000}}, std::nullopt);
  EXPECT_EQ(named.inaccessibleProcessCount, 2U) << "the root named twice counts once";
}

TEST_F(SamplerTest, ConvertsAndCutsTexts) {
  std::string longName(2000, 'n');
  std::string longArgument;
  for (int i = 0; i < 10'000; ++i) {
    longArgument += "\xC3\xA9";  // 20,000 bytes of two-byte characters
  }
  platform_.addProcess(500, 100, NOW_S - 10, longName);
  platform_.addProcess(501, 100, NOW_S - 10, "x", {"ab", longArgument});  // the limit falls mid-character
  platform_.addProcess(502, 100, NOW_S - 10, "bad\xFF\xC3(name", {"arg\xE2\x82", "ok"});

  Sampler sampler(platform_, clock_);
  const protocol::Snapshot snapshot = sampler.takeSnapshot(100, {}, std::nullopt);
  ASSERT_THAT(pidsOf(snapshot), ElementsAre(100, 200, 250, 300, 500, 501, 502));

  const protocol::ProcessSample& longNamed = snapshot.processes[4];
  EXPECT_EQ(longNamed.name, std::string(1024, 'n'));
  EXPECT_EQ(longNamed.command, longName);  // no arguments: the uncut name

  const protocol::ProcessSample& longCommand = snapshot.processes[5];
  EXPECT_EQ(longCommand.command.size(), 16383U);
  EXPECT_EQ(longCommand.command.substr(0, 5), "ab \xC3\xA9");
  EXPECT_EQ(toUtf8Lossy(longCommand.command), longCommand.command);

  const protocol::ProcessSample& invalid = snapshot.processes[6];
  EXPECT_EQ(invalid.name, "bad\xEF\xBF\xBD\xEF\xBF\xBD(name");
  EXPECT_EQ(invalid.command, "arg\xEF\xBF\xBD ok");
}

}  // namespace
}  // namespace sidecar::sampling
