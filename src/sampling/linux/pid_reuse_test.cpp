// A pid taken again within the same second (even the same clock tick), on
// the real system: the newcomer is a new process to the sampler, with its
// own record, and not the external process that was named by pid and start
// time. The newcomer gets the pid through clone3 with set_tid, which needs
// privilege; the test is skipped where the system refuses it.

#include <linux/sched.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "procinfo/clock.h"
#include "procinfo/platform.h"
#include "sampling/external_process_map.h"
#include "sampling/sampler.h"
#include "test_support/procinfo/test_child.h"

namespace sidecar::sampling {
namespace {

using procinfo::Child;
using ::testing::IsEmpty;

// Waits until `pid` shows exactly `expected` as its arguments (it has
// exec'd), or 10 s have passed; true when it did.
bool waitForArguments(procinfo::Platform& platform, std::uint32_t pid, const std::vector<std::string>& expected) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::string name;
  std::vector<std::string> arguments;
  for (;;) {
    arguments.clear();
    if (platform.readNameAndArguments(pid, false, true, name, arguments) && arguments == expected) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    usleep(1'000);
  }
}

// The start second the platform gives a process forked now; empty when
// the probe could not be started or read.
std::optional<std::uint64_t> startSecondOfANewProcess(procinfo::Platform& platform) {
  const pid_t pid = fork();
  if (pid == 0) {
    for (;;) pause();
  }
  if (pid < 0) return std::nullopt;
  Child probe(pid);
  const std::optional<procinfo::BasicInfo> basic = platform.basicInfo(probe.upid());
  if (!basic) return std::nullopt;
  return basic->startSeconds;
}

// Waits until a start second, as the platform reports start seconds, has
// just begun, so that what follows has most of a second to run in. The
// boundary is found by starting a probe process every few milliseconds until
// its start second moves on: the wall clock's own second need not begin at
// the same instant. False when no boundary was seen within 3 s.
bool waitForTheStartOfAStartSecond(procinfo::Platform& platform, procinfo::Clock& clock) {
  const std::optional<std::uint64_t> first = startSecondOfANewProcess(platform);
  if (!first) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::optional<std::uint64_t> now = startSecondOfANewProcess(platform);
    if (now && *now != *first) return true;
    clock.sleepFor(std::chrono::milliseconds(2));
  }
  return false;
}

TEST(PidReuseTest, APidTakenAgainWithinTheSameSecondIsANewProcessAndNotTheExternal) {
  procinfo::SystemClock clock;
  const std::unique_ptr<procinfo::Platform> platform = procinfo::makeSystemPlatform(clock);
  const std::vector<std::string> firstArguments = {"/bin/sleep", "30"};
  const std::vector<std::string> secondArguments = {"/usr/bin/tail", "-f", "/dev/null"};
  constexpr std::uint32_t NO_ROOT = 0;  // no process has pid 0: only the external is watched

  // The steps from the first process's start to the second's must fit
  // within one start second; a try that does not (a slow or loaded machine)
  // is made again, for up to a minute. The sampler is primed before the
  // second begins and at least its refresh spacing before it, so that the
  // sample within the second waits for nothing and reads only what changed.
  const bool endsWatched = platform->makeExitWatch() != nullptr;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    Sampler sampler(*platform, clock);
    sampler.prime(NO_ROOT, ExternalProcessMap{});
    const auto primedAt = std::chrono::steady_clock::now();
    do {
      ASSERT_TRUE(waitForTheStartOfAStartSecond(*platform, clock)) << "start seconds did not move on within 3 s";
    } while (std::chrono::steady_clock::now() - primedAt < MIN_REFRESH_SPACING);
    Child first = Child::spawn(firstArguments);
    ASSERT_GT(first.pid(), 0);
    const std::uint32_t pid = first.upid();
    ASSERT_TRUE(waitForArguments(*platform, pid, firstArguments));
    const std::optional<procinfo::BasicInfo> firstBasic = platform->basicInfo(pid);
    ASSERT_TRUE(firstBasic.has_value());
    // Named by the parent with its start time, at some millisecond of its
    // start second.
    const ExternalProcessMap externals = makeExternalProcessMap(
        std::vector<protocol::ExternalProcess>{{pid, firstBasic->startSeconds * 1000 + 999}});
    const protocol::Snapshot matched = sampler.takeSnapshot(NO_ROOT, externals, std::nullopt);
    ASSERT_EQ(matched.externalProcesses.size(), 1U);
    ASSERT_EQ(matched.processes.size(), 1U);
    EXPECT_EQ(matched.processes.front().name, "sleep");

    kill(first.pid(), SIGKILL);
    first.reap();
    int error = 0;
    Child second = Child::spawnWithPid(static_cast<pid_t>(pid), secondArguments, error);
    if (second.pid() <= 0 && error == EEXIST) continue;  // another process took the pid first
    if (second.pid() <= 0) {
      GTEST_SKIP() << "the system refuses to start a process with a chosen pid (clone3 with set_tid needs "
                      "CAP_SYS_ADMIN in the pid namespace); pid reuse within one second is not checked live";
    }
    ASSERT_EQ(second.upid(), pid);
    ASSERT_TRUE(waitForArguments(*platform, pid, secondArguments));
    const std::optional<procinfo::BasicInfo> secondBasic = platform->basicInfo(pid);
    ASSERT_TRUE(secondBasic.has_value());
    if (secondBasic->startSeconds != firstBasic->startSeconds) continue;  // crossed into the next second
    // Within the same clock tick the start alone cannot tell the two apart;
    // the exit watch, which saw the first one end, still does. Without one
    // such a try proves nothing and is made again.
    if (secondBasic->startInstant == firstBasic->startInstant && !endsWatched) continue;

    const protocol::Snapshot after = sampler.takeSnapshot(NO_ROOT, externals, std::nullopt);
    EXPECT_THAT(after.externalProcesses, IsEmpty()) << "the newcomer is not the external process";
    EXPECT_THAT(after.processes, IsEmpty());
    const procinfo::ProcessInfo& record = sampler.source().processes().at(pid);
    EXPECT_EQ(record.name, "tail") << "the newcomer's own name";
    EXPECT_THAT(record.commandLine, IsEmpty()) << "not the old process's: no command line is read unwatched";
    EXPECT_EQ(record.startTime, firstBasic->startSeconds);
    EXPECT_EQ(record.startInstant, secondBasic->startInstant);
    EXPECT_EQ(record.cpuUsage, 0.0F) << "a new CPU baseline";
    EXPECT_FALSE(record.threadState.has_value()) << "a record built by this refresh";
    return;
  }
  FAIL() << "the pid was never taken again within the start second it was first taken in";
}

}  // namespace
}  // namespace sidecar::sampling
