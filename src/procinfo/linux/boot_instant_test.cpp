// The start second of a process: the second in which boot instant + start
// ticks lies, the boot instant taken with its fraction of a second.
#include "procinfo/linux/boot_instant.h"

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "procinfo/linux/linux_platform.h"
#include "test_support/procinfo/test_child.h"

namespace sidecar::procinfo {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;

constexpr std::uint64_t TICKS_PER_SECOND = 100;

TEST(StartSecondAfterBootTest, TheSecondInWhichTheStartLies) {
  struct Case {
    const char* what;
    nanoseconds boot;
    std::uint64_t ticks;
    std::uint64_t expected;
  };
  const nanoseconds boot = seconds(1'767'225'600) + milliseconds(168);
  const Case cases[] = {
      {"at boot", boot, 0, 1'767'225'600},
      {"the last tick before the next second", boot, 83, 1'767'225'600},  // .998
      {"the tick that crosses it", boot, 84, 1'767'225'601},              // 1.008
      {"a day later, across a boundary", boot, 8'640'000 + 84, 1'767'225'600 + 86'400 + 1},
      {"a whole-second boot", seconds(1'767'225'600), 100, 1'767'225'601},
      {"a boot instant .999 past its second", seconds(10) + milliseconds(999), 1, 11},
      {"before the epoch", nanoseconds(-5'500'000'000), 100, 0},
      {"a start before the epoch's first second", nanoseconds(-500'000'000), 40, 0},
      {"crossing the epoch", nanoseconds(-500'000'000), 60, 0},
      {"past it", nanoseconds(-500'000'000), 150, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(startSecondAfterBoot(c.boot, c.ticks, TICKS_PER_SECOND), c.expected) << c.what;
  }
  EXPECT_EQ(startSecondAfterBoot(boot, std::numeric_limits<std::uint64_t>::max(), TICKS_PER_SECOND),
            1'767'225'600 + std::numeric_limits<std::uint64_t>::max() / TICKS_PER_SECOND)
      << "the largest count of ticks";
}

// One process started by the test: the wall clock just before and just after
// it was forked, the start ticks the kernel recorded for it, and the start
// second reported for it.
struct Spawn {
  nanoseconds before;
  nanoseconds after;
  std::uint64_t startTicks;
  std::uint64_t reported = 0;
};

std::int64_t secondOf(nanoseconds instant) {
  return std::chrono::floor<seconds>(instant).count();
}

// The spawns whose reported start second lies outside the seconds the spawn
// spanned. The kernel cuts the start down to a whole tick, so the second one
// tick before the spawn began counts as inside.
std::vector<std::string> startedOutside(const std::vector<Spawn>& spawns) {
  std::vector<std::string> outside;
  const nanoseconds tick = nanoseconds(seconds(1)) / TICKS_PER_SECOND;
  for (const Spawn& spawn : spawns) {
    const auto reported = static_cast<std::int64_t>(spawn.reported);
    if (reported < secondOf(spawn.before - tick) || reported > secondOf(spawn.after)) {
      outside.push_back("ticks " + std::to_string(spawn.startTicks) + " reported in second " +
                        std::to_string(reported) + ", spawned between " + std::to_string(spawn.before.count()) +
                        " and " + std::to_string(spawn.after.count()) + " ns");
    }
  }
  return outside;
}

// The spawns with their start seconds as `startSecond` computes them from
// the start ticks.
std::vector<Spawn> reportedBy(std::vector<Spawn> spawns,
                              const std::function<std::uint64_t(std::uint64_t)>& startSecond) {
  for (Spawn& spawn : spawns) spawn.reported = startSecond(spawn.startTicks);
  return spawns;
}

// The computation the boot instant replaced: the boot second of /proc/stat
// (the boot instant cut down to a whole second) plus the whole seconds of
// the ticks.
std::uint64_t bootSecondPlusTicks(nanoseconds boot, std::uint64_t ticks) {
  return static_cast<std::uint64_t>(secondOf(boot)) + ticks / TICKS_PER_SECOND;
}

TEST(StartSecondAfterBootTest, ABootInstantWithAFractionPutsEveryStartInItsOwnSecond) {
  // Spawns scripted every 3 ms across two seconds after a boot 0.168 s past
  // its second, each seen from 1 ms before its start to 1 ms after.
  const nanoseconds boot = seconds(1'767'225'600) + milliseconds(168);
  std::vector<Spawn> spawns;
  for (std::uint64_t ms = 1000; ms < 3000; ms += 3) {
    const nanoseconds start = boot + milliseconds(ms);
    spawns.push_back(Spawn{start - milliseconds(1), start + milliseconds(1), ms / 10, 0});
  }
  EXPECT_EQ(startedOutside(reportedBy(spawns, [&](std::uint64_t ticks) {
              return startSecondAfterBoot(boot, ticks, TICKS_PER_SECOND);
            })),
            std::vector<std::string>{});
  const std::size_t outsideBefore =
      startedOutside(reportedBy(spawns, [&](std::uint64_t ticks) { return bootSecondPlusTicks(boot, ticks); })).size();
  EXPECT_GT(outsideBefore, spawns.size() / 8) << "the boot second alone puts a start in the second before";
}

nanoseconds wallNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return seconds(now.tv_sec) + nanoseconds(now.tv_nsec);
}

TEST(StartSecondAfterBootTest, EveryProcessStartedHereIsReportedInTheSecondItStartedIn) {
  SystemClock clock;
  LinuxPlatform platform(clock);
  ASSERT_EQ(platform.clockTicksPerSecond(), TICKS_PER_SECOND);
  // About 150 processes, a few milliseconds apart, so that their starts fall
  // across every part of a second whatever this machine's boot instant.
  std::vector<Spawn> spawns;
  for (int i = 0; i < 150; ++i) {
    const nanoseconds before = wallNow();
    const pid_t pid = fork();
    if (pid == 0) {
      for (;;) pause();
    }
    const nanoseconds after = wallNow();
    ASSERT_GT(pid, 0);
    Child child(pid);
    const std::optional<BasicInfo> basic = platform.basicInfo(child.upid());
    ASSERT_TRUE(basic.has_value());
    spawns.push_back(Spawn{before, after, basic->startInstant, basic->startSeconds});
    clock.sleepFor(milliseconds(6));
  }
  EXPECT_EQ(startedOutside(spawns), std::vector<std::string>{})
      << "this machine booted " << (platform.bootInstant() % seconds(1)).count() / 1'000'000
      << " ms past a second";
}

TEST(StartSecondAfterBootTest, TheBootInstantIsTheBootSecondOfProcStatWithItsFraction) {
  const std::optional<nanoseconds> boot = readBootInstant();
  ASSERT_TRUE(boot.has_value());
  std::ifstream stat("/proc/stat");
  std::string line;
  std::optional<std::int64_t> bootSecond;
  while (std::getline(stat, line)) {
    if (line.rfind("btime ", 0) == 0) bootSecond = std::stoll(line.substr(6));
  }
  ASSERT_TRUE(bootSecond.has_value());
  // The kernel computes both from the same two clocks; a millisecond covers
  // the time between the readings.
  EXPECT_GE(*boot, seconds(*bootSecond) - milliseconds(1));
  EXPECT_LT(*boot, seconds(*bootSecond + 1) + milliseconds(1));
  SystemClock clock;
  LinuxPlatform platform(clock);
  EXPECT_LT(std::chrono::abs(platform.bootInstant() - *boot), milliseconds(1));
}

}  // namespace
}  // namespace sidecar::procinfo
