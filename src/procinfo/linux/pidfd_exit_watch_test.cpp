// The pidfd exit watch against real processes: an end is reported once
// (as a zombie already) and the release of the zombie once more, a live
// process is never reported, a forgotten one is not reported, the budget is
// kept, and when the backend's kept files run short every watched pid is
// reported and nothing is watched any more.
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

/// Collects until `pid` is in the list `which` picks or a deadline passes.
ExitNews collectUntil(PidfdExitWatch& watch, std::uint32_t pid, std::vector<std::uint32_t> ExitNews::*which) {
  ExitNews news;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::find((news.*which).begin(), (news.*which).end(), pid) == (news.*which).end() &&
         std::chrono::steady_clock::now() < deadline) {
    watch.collect(news);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return news;
}

class PidfdExitWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pidfdsAvailable()) GTEST_SKIP() << "no pidfd_open on this kernel";
  }
  ProcRoot root_{"/proc"};
  KeptOpenFiles files_{root_, 16};
};

void reportsAnEndOnce(KeptOpenFiles& files, bool reapMarked) {
  Child ends = Child::spawn({"/bin/sleep", "30"});
  Child lives = Child::spawn({"/bin/sleep", "30"});
  Child forgotten = Child::spawn({"/bin/sleep", "30"});
  PidfdExitWatch watch(100, files, reapMarked);
  EXPECT_TRUE(watch.watch(ends.upid()));
  EXPECT_TRUE(watch.watch(lives.upid()));
  EXPECT_TRUE(watch.watch(forgotten.upid()));
  ExitNews news;
  watch.collect(news);
  EXPECT_THAT(news.ended, IsEmpty());

  watch.forget(forgotten.upid());
  kill(forgotten.pid(), SIGKILL);
  kill(ends.pid(), SIGKILL);  // a zombie until reaped: already ended
  news = collectUntil(watch, ends.upid(), &ExitNews::ended);
  EXPECT_THAT(news.ended, ElementsAre(ends.upid()));
  EXPECT_THAT(news.released, IsEmpty());
  EXPECT_EQ(watch.watchedCount(), 2U) << "the zombie is held until it is released";

  // An unreaped zombie is not reported again, however often it is asked.
  for (int i = 0; i < 3; ++i) {
    news.clear();
    watch.collect(news);
    EXPECT_THAT(news.ended, IsEmpty()) << "reported once";
    EXPECT_THAT(news.released, IsEmpty()) << "not reaped yet";
  }

  // Reaped: released once, and the pid is no longer watched.
  const std::uint32_t endedPid = ends.upid();
  ends.reap();
  news = collectUntil(watch, endedPid, &ExitNews::released);
  EXPECT_THAT(news.released, ElementsAre(endedPid));
  EXPECT_THAT(news.ended, IsEmpty());
  EXPECT_EQ(watch.watchedCount(), 1U);
  news.clear();
  watch.collect(news);
  EXPECT_THAT(news.released, IsEmpty());
  EXPECT_FALSE(watch.watch(endedPid)) << "no process has the pid now";
}

// Both ways of learning of a reap: the kernel's mark on the pidfd, where
// it has one, and a null signal to each ended process.
TEST_F(PidfdExitWatchTest, ReportsAnEndOnceAndNeverALiveProcess) {
  std::vector<bool> modes{false};
  if (kernelMarksReapOnPidfd()) modes.push_back(true);
  for (const bool reapMarked : modes) {
    SCOPED_TRACE(reapMarked ? "reap marked by the kernel" : "reap found by a null signal");
    reportsAnEndOnce(files_, reapMarked);
  }
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
  ExitNews news;
  watch.collect(news);
  std::vector<std::uint32_t> lost = news.givenUp;
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
