// The pidfd exit watch against real processes: an end is reported once
// (as a zombie already), a live process is never reported, a forgotten one
// is not reported, the budget is kept, and when the backend's kept files
// run short every watched pid is reported and nothing is watched any more.
// How the source takes a give-up is checked on the fake platform
// (selective_refresh_differential_test.cpp).
#include "procinfo/linux/pidfd_exit_watch.h"

#include <signal.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "procinfo/linux/proc_root.h"
#include "test_support/procinfo/test_child.h"

namespace sidecar::procinfo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

/// Collects until `pid` is reported or a deadline passes.
std::vector<std::uint32_t> collectUntil(PidfdExitWatch& watch, std::uint32_t pid) {
  std::vector<std::uint32_t> lost;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::find(lost.begin(), lost.end(), pid) == lost.end() && std::chrono::steady_clock::now() < deadline) {
    watch.collectLost(lost);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return lost;
}

class PidfdExitWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pidfdsAvailable()) GTEST_SKIP() << "no pidfd_open on this kernel";
  }
  ProcRoot root_{"/proc"};
  KeptOpenFiles files_{root_, 16};
};

TEST_F(PidfdExitWatchTest, ReportsAnEndOnceAndNeverALiveProcess) {
  Child ends = Child::spawn({"/bin/sleep", "30"});
  Child lives = Child::spawn({"/bin/sleep", "30"});
  Child forgotten = Child::spawn({"/bin/sleep", "30"});
  PidfdExitWatch watch(100, files_);
  ASSERT_TRUE(watch.watch(ends.upid()));
  ASSERT_TRUE(watch.watch(lives.upid()));
  ASSERT_TRUE(watch.watch(forgotten.upid()));
  std::vector<std::uint32_t> lost;
  watch.collectLost(lost);
  EXPECT_THAT(lost, IsEmpty());

  watch.forget(forgotten.upid());
  kill(forgotten.pid(), SIGKILL);
  kill(ends.pid(), SIGKILL);  // a zombie until reaped: already ended
  EXPECT_THAT(collectUntil(watch, ends.upid()), ElementsAre(ends.upid()));
  EXPECT_EQ(watch.watchedCount(), 1U);
  lost.clear();
  watch.collectLost(lost);
  EXPECT_THAT(lost, IsEmpty()) << "reported once";

  // Watching the zombie again reports it again: it has still ended.
  ASSERT_TRUE(watch.watch(ends.upid()));
  EXPECT_THAT(collectUntil(watch, ends.upid()), ElementsAre(ends.upid()));
  ends.reap();
  EXPECT_FALSE(watch.watch(ends.upid())) << "no process has the pid now";
}

TEST_F(PidfdExitWatchTest, DeclinesPastItsBudget) {
  Child a = Child::spawn({"/bin/sleep", "30"});
  Child b = Child::spawn({"/bin/sleep", "30"});
  Child c = Child::spawn({"/bin/sleep", "30"});
  PidfdExitWatch watch(2, files_);
  EXPECT_TRUE(watch.watch(a.upid()));
  EXPECT_TRUE(watch.watch(b.upid()));
  EXPECT_FALSE(watch.watch(c.upid())) << "past the budget";
  EXPECT_EQ(watch.watchedCount(), 2U);
  EXPECT_FALSE(watch.watch(0));
}

TEST_F(PidfdExitWatchTest, GivesUpEveryWatchWhenTheKeptFilesRunShort) {
  Child a = Child::spawn({"/bin/sleep", "30"});
  Child b = Child::spawn({"/bin/sleep", "30"});
  PidfdExitWatch watch(100, files_);
  ASSERT_TRUE(watch.watch(a.upid()));
  ASSERT_TRUE(watch.watch(b.upid()));
  files_.releaseKeptFiles();  // what a failed open for want of descriptors does
  std::vector<std::uint32_t> lost;
  watch.collectLost(lost);
  std::sort(lost.begin(), lost.end());
  std::vector<std::uint32_t> both{a.upid(), b.upid()};
  std::sort(both.begin(), both.end());
  EXPECT_EQ(lost, both) << "both live processes are handed back to be read at every refresh";
  EXPECT_FALSE(watch.active());
  EXPECT_EQ(watch.watchedCount(), 0U);
  EXPECT_FALSE(watch.watch(a.upid())) << "nothing is watched after a give-up";
}

}  // namespace
}  // namespace sidecar::procinfo
