// What the macOS backend decides about threads, run against the double of
// the Darwin kernel: the first thread's handle (one handle of room), the
// query with it, a stopped process's waiting threads, what a thread-less or
// unreadable process gives, and the conversion of thread times into the
// unit of the task totals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "procinfo/macos/darwin_double/darwin_double.h"
#include "procinfo/macos/darwin_double/macos_platform_fixture.h"
#include "procinfo/macos/macos_platform.h"
#include "procinfo/macos/thread_handles.h"

namespace sidecar::procinfo {
namespace {

namespace dd = darwin_double;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Ne;

// --- Threads ------------------------------------------------------------------

TEST_F(MacosPlatformTest, ThreadQueryTakesTheFirstListedHandle) {
  dd::Process& process = add(50, "app");
  process.threads = {{0x7000'1000, TH_STATE_WAITING, 5, 6},
                     {0x7000'2000, TH_STATE_RUNNING, 7, 8},
                     {0x7000'3000, TH_STATE_STOPPED, 9, 10}};
  MacosPlatform platform(clock);
  const std::optional<ThreadInfo> thread = platform.threadInfo(50);
  ASSERT_TRUE(thread);
  EXPECT_EQ(thread->runState, ThreadState::RUN_STATE_WAITING);
  EXPECT_THAT(kernel.calls.threadInfoArguments, ElementsAre(0x7000'1000U));
  EXPECT_THAT(kernel.calls.listThreadsBufferSizes, ElementsAre(8));
}

TEST_F(MacosPlatformTest, FirstThreadJustCreatedIsFoundByItsHandleZero) {
  // A process whose first thread has not set its address yet lists the
  // handle 0, and the query with 0 finds that thread.
  dd::Process& process = add(53, "fresh");
  process.threads = {{0, TH_STATE_RUNNING, 0, 0}, {0x7000'2000, TH_STATE_WAITING, 0, 0}};
  MacosPlatform platform(clock);
  const std::optional<ThreadInfo> thread = platform.threadInfo(53);
  ASSERT_TRUE(thread);
  EXPECT_EQ(thread->runState, TH_STATE_RUNNING);
  EXPECT_THAT(kernel.calls.threadInfoArguments, ElementsAre(0U));
}

TEST_F(MacosPlatformTest, RunStatesPassThroughRaw) {
  dd::Process& process = add(51, "app");
  MacosPlatform platform(clock);
  for (const std::int32_t state : {TH_STATE_RUNNING, TH_STATE_STOPPED, TH_STATE_WAITING, TH_STATE_UNINTERRUPTIBLE,
                                   TH_STATE_HALTED, 9, -1}) {
    process.threads.front().runState = state;
    const std::optional<ThreadInfo> thread = platform.threadInfo(51);
    ASSERT_TRUE(thread);
    EXPECT_EQ(thread->runState, state);
  }
  // Our names for the codes agree with the platform's.
  EXPECT_EQ(ThreadState::RUN_STATE_RUNNING, TH_STATE_RUNNING);
  EXPECT_EQ(ThreadState::RUN_STATE_STOPPED, TH_STATE_STOPPED);
  EXPECT_EQ(ThreadState::RUN_STATE_WAITING, TH_STATE_WAITING);
  EXPECT_EQ(ThreadState::RUN_STATE_UNINTERRUPTIBLE, TH_STATE_UNINTERRUPTIBLE);
  EXPECT_EQ(ThreadState::RUN_STATE_HALTED, TH_STATE_HALTED);
}

TEST_F(MacosPlatformTest, ManyThreadsCostOneHandleOfRoom) {
  dd::Process& process = add(52, "busy");
  process.threads.clear();
  for (std::uint64_t i = 0; i < 40; ++i) process.threads.push_back({0x9000 + i * 16, TH_STATE_RUNNING, 0, 0});
  process.threads.front().runState = TH_STATE_HALTED;
  MacosPlatform platform(clock);
  ASSERT_TRUE(platform.threadInfo(52));
  EXPECT_EQ(platform.threadInfo(52)->runState, TH_STATE_HALTED);
  EXPECT_THAT(kernel.calls.listThreadsBufferSizes, Each(8));
  EXPECT_THAT(kernel.calls.threadInfoArguments, Each(0x9000U));
  EXPECT_EQ(firstThreadHandle(52), 0x9000U);
}

TEST_F(MacosPlatformTest, StoppedProcessThreadsWait) {
  // Only the BSD status tells a stopped process; its threads merely wait.
  dd::Process& process = add(59, "stopped");
  process.status = SSTOP;
  process.threads.front().runState = TH_STATE_RUNNING;
  MacosPlatform platform(clock);
  EXPECT_EQ(platform.threadInfo(59)->runState, TH_STATE_WAITING);
  std::vector<std::uint32_t> pids;
  ASSERT_TRUE(platform.listPids(pids));
  EXPECT_EQ(platform.basicInfo(59)->state, ProcessState(ProcessState::Kind::Stop));
}

TEST_F(MacosPlatformTest, ProcessWithoutThreadsOrUnreadableHasNoThreadInformation) {
  add(54, "threadless").threads.clear();
  add(55, "other").otherUser = true;
  dd::Process& zombie = add(56, "zombie");
  zombie.status = SZOMB;
  MacosPlatform platform(clock);
  EXPECT_FALSE(platform.threadInfo(54));
  EXPECT_EQ(platform.threadInfo(55).has_value(), kernel.root);
  EXPECT_FALSE(platform.threadInfo(56));
  EXPECT_FALSE(platform.threadInfo(57));  // gone
  EXPECT_EQ(kernel.calls.threadInfoArguments.size(), kernel.root ? 1U : 0U) << "no handle, no query";
  EXPECT_FALSE(firstThreadHandle(54));
}

TEST_F(MacosPlatformTest, FirstThreadEndingBetweenListingAndQueryGivesNoThreadInformation) {
  dd::Process& process = add(58, "racy");
  process.threads.push_back({0x5000, TH_STATE_RUNNING, 0, 0});
  const std::uint64_t first = process.threads.front().handle;
  kernel.afterThreadListing = [&] { process.threads.erase(process.threads.begin()); };
  MacosPlatform platform(clock);
  EXPECT_FALSE(platform.threadInfo(58));
  EXPECT_THAT(kernel.calls.threadInfoArguments, ElementsAre(first));
}

// --- Units --------------------------------------------------------------------

TEST_F(MacosPlatformTest, ThreadTimesComeInAbsoluteTimeUnits) {
  dd::Process& process = add(60, "app");
  process.threads.front().userNanoseconds = 1'000'000'000;  // one second
  process.threads.front().systemNanoseconds = 124;          // 2.976 units
  MacosPlatform platform(clock);
  const std::optional<ThreadInfo> thread = platform.threadInfo(60);
  ASSERT_TRUE(thread);
  // Apple silicon: 125/3 ns per unit.
  EXPECT_EQ(thread->userTime, 24'000'000U);
  EXPECT_EQ(thread->systemTime, 2U) << "rounded down";
  ASSERT_TRUE(platform.timeBase());
  EXPECT_EQ(platform.timeBase()->numer, 125U);
  EXPECT_EQ(platform.timeBase()->denom, 3U);

  // The whole range converts without overflow: (2^64 - 1) × 3 / 125.
  process.threads.front().userNanoseconds = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(platform.threadInfo(60)->userTime, 442'721'857'769'029'238U);
}

TEST_F(MacosPlatformTest, ThreadTimesWithOtherTimeBases) {
  dd::Process& process = add(61, "app");
  process.threads.front().userNanoseconds = 1'000'000'000;
  kernel.timebase = mach_timebase_info_data_t{1, 1};  // Intel
  {
    MacosPlatform platform(clock);
    EXPECT_EQ(platform.threadInfo(61)->userTime, 1'000'000'000U);
  }
  kernel.timebase.reset();  // unreadable: 1/1, and no time base reported
  {
    MacosPlatform platform(clock);
    EXPECT_FALSE(platform.timeBase());
    EXPECT_EQ(platform.threadInfo(61)->userTime, 1'000'000'000U);
  }
  kernel.timebase = mach_timebase_info_data_t{1, 3};  // units shorter than a nanosecond: saturates
  {
    MacosPlatform platform(clock);
    EXPECT_EQ(platform.threadInfo(61)->userTime, 3'000'000'000U);
    process.threads.front().userNanoseconds = std::numeric_limits<std::uint64_t>::max() / 2;
    EXPECT_EQ(platform.threadInfo(61)->userTime, std::numeric_limits<std::uint64_t>::max());
  }
}
}  // namespace
}  // namespace sidecar::procinfo
