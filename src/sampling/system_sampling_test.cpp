// Samples a real process tree on the system this runs on: a shell that
// starts a second shell (which starts a sleep) and a sleep of its own.

#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "procinfo/clock.h"
#include "procinfo/platform.h"
#include "sampling/process_table.h"
#include "sampling/sampler.h"
#include "test_support/sampling/spawned_tree.h"

namespace sidecar::sampling {
namespace {

using ::testing::ElementsAreArray;

using testing::SpawnedTree;

// The inner shell prints its sleep's pid; the root prints the inner shell's
// and its own sleep's.
constexpr const char* TREE_SCRIPT =
    "/bin/sh -c 'sleep 300 & echo $!; wait' & echo $!; "
    "sleep 300 & echo $!; wait";

TEST(SystemSamplingTest, SelectsExactlyTheSpawnedTree) {
  SpawnedTree tree(TREE_SCRIPT);
  ASSERT_GT(tree.root(), 0);
  ASSERT_TRUE(tree.readDescendants(3));

  std::vector<std::uint32_t> expected = {static_cast<std::uint32_t>(tree.root())};
  for (const pid_t pid : tree.descendants()) {
    expected.push_back(static_cast<std::uint32_t>(pid));
  }
  std::sort(expected.begin(), expected.end());

  procinfo::SystemClock clock;
  const std::unique_ptr<procinfo::Platform> platform = procinfo::makeSystemPlatform(clock);
  Sampler sampler(*platform, clock);
  sampler.prime(static_cast<std::uint32_t>(tree.root()), {});

  // A child may print its pid a moment before it has its own process image;
  // sample until the tree looks settled (a few tries at most).
  protocol::Snapshot snapshot;
  for (int attempt = 0; attempt < 20; ++attempt) {
    snapshot = sampler.takeSnapshot(static_cast<std::uint32_t>(tree.root()), {}, std::nullopt);
    const auto sleeps = std::count_if(snapshot.processes.begin(), snapshot.processes.end(),
                                      [](const auto& sample) { return sample.name == "sleep"; });
    if (snapshot.processes.size() == expected.size() && sleeps == 2) {
      break;
    }
  }

  std::vector<std::uint32_t> selected;
  for (const auto& sample : snapshot.processes) {
    selected.push_back(sample.pid);
  }
  EXPECT_THAT(selected, ElementsAreArray(expected));
  EXPECT_EQ(snapshot.retainedProcessCount, 4U);
  EXPECT_EQ(snapshot.inaccessibleProcessCount, 0U);
  EXPECT_GT(snapshot.scannedProcessCount, 4U);
  EXPECT_TRUE(snapshot.externalProcesses.empty());

  const std::uint64_t nowMs = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
  for (const auto& sample : snapshot.processes) {
    SCOPED_TRACE(sample.pid);
    EXPECT_TRUE(sample.name == "sh" || sample.name == "sleep" || sample.name == "dash" || sample.name == "bash")
        << sample.name;
    if (sample.name == "sleep") {
      EXPECT_EQ(sample.command, "sleep 300");
    }
    EXPECT_EQ(sample.startTimeMs % 1000, 0U);
    EXPECT_LE(sample.startTimeMs, nowMs);
    EXPECT_GT(sample.startTimeMs + 120'000, nowMs);  // started during this test
    EXPECT_GT(sample.residentBytes, 0U);
    EXPECT_GE(sample.virtualBytes, sample.residentBytes);
    if (sample.pid == static_cast<std::uint32_t>(tree.root())) {
      EXPECT_EQ(sample.ppid, static_cast<std::uint32_t>(getpid()));
    } else {
      EXPECT_TRUE(std::binary_search(expected.begin(), expected.end(), sample.ppid)) << sample.ppid;
    }
  }

  // The same tree named as an external process with its start time, and an
  // exited root: the external process and its descendants only.
  const auto root = std::find_if(snapshot.processes.begin(), snapshot.processes.end(),
                                 [&](const auto& s) { return s.pid == static_cast<std::uint32_t>(tree.root()); });
  ASSERT_NE(root, snapshot.processes.end());
  const ExternalProcessMap externals = {{root->pid, root->startTimeMs + 999}};
  const protocol::Snapshot viaExternal = sampler.takeSnapshot(0xFFFFFFF0U, externals, std::nullopt);
  selected.clear();
  for (const auto& sample : viaExternal.processes) {
    selected.push_back(sample.pid);
  }
  EXPECT_THAT(selected, ElementsAreArray(expected));
  EXPECT_THAT(viaExternal.externalProcesses,
              ElementsAreArray({protocol::ExternalProcess{root->pid, root->startTimeMs}}));
}

TEST(SystemSamplingTest, ProcessTableHoldsThisProcessAndItsParent) {
  procinfo::SystemClock clock;
  const std::unique_ptr<procinfo::Platform> platform = procinfo::makeSystemPlatform(clock);
  const auto table = buildProcessTable(*platform);
  ASSERT_FALSE(table.empty());
  EXPECT_TRUE(std::is_sorted(table.begin(), table.end(),
                             [](const auto& a, const auto& b) { return a.pid < b.pid; }));
  EXPECT_NE(table.front().pid, 0U);
  const auto find = [&](std::uint32_t pid) {
    return std::find_if(table.begin(), table.end(), [&](const auto& e) { return e.pid == pid; });
  };
  const auto self = find(static_cast<std::uint32_t>(getpid()));
  ASSERT_NE(self, table.end());
  EXPECT_EQ(self->ppid, static_cast<std::uint32_t>(getppid()));
  EXPECT_FALSE(self->name.empty());
  EXPECT_NE(find(static_cast<std::uint32_t>(getppid())), table.end());
}

}  // namespace
}  // namespace sidecar::sampling
