// What a sample and a process table cost in calls on a Mac, counted on the
// double of the Darwin kernel: 20 watched processes among 10,000, of which
// 4,000 are other users' (the system's daemons). docs/performance.md quotes
// the lines these tests print.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <iostream>
#include <vector>

#include "procinfo/fake/fake_clock.h"
#include "procinfo/macos/darwin_double/darwin_double.h"
#include "procinfo/macos/macos_platform.h"
#include "procinfo/process_info_source.h"

namespace sidecar::procinfo {
namespace {

namespace dd = darwin_double;

constexpr std::size_t PROCESSES = 10'000;
constexpr std::size_t OTHER_USERS = 4'000;
constexpr std::size_t WATCHED = 20;
constexpr std::uint32_t ROOT = 50'000;

class MacosCostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dd::reset();
    kernel.processes[0] = dd::kernelTask();
    kernel.processes[1] = dd::launchd();
    // The watched tree: a root and its 19 children.
    kernel.processes[ROOT] = dd::ordinaryProcess(1, 1000, "root", {"root", "--serve"});
    for (std::uint32_t i = 1; i < WATCHED; ++i) {
      kernel.processes[static_cast<int>(ROOT + i)] = dd::ordinaryProcess(ROOT, 1000, "worker", {"worker"});
    }
    // The rest of the machine, the other users' first.
    for (std::uint32_t pid = 2; kernel.processes.size() < PROCESSES; ++pid) {
      dd::Process& process = kernel.processes[static_cast<int>(pid)] = dd::ordinaryProcess(1, 900, "daemon");
      process.otherUser = pid < 2 + OTHER_USERS;
    }
  }

  void TearDown() override { EXPECT_THAT(kernel.misuse, ::testing::IsEmpty()); }

  /// Process calls (the processor counters apart) of one refresh.
  template <typename Refresh>
  std::size_t callsOf(Refresh refresh) {
    kernel.calls = {};
    refresh();
    return kernel.calls.processCalls();
  }

  dd::Kernel& kernel = dd::kernel();
  FakeClock clock;
};

TEST_F(MacosCostTest, SampleOfTwentyWatchedAmongTenThousand) {
  MacosPlatform platform(clock);
  auto source = ProcessInfoSource::new_with_specifics(platform);
  const auto pick = [](const ProcessMap& refreshed, std::vector<std::uint32_t>& picked) {
    for (std::uint32_t pid = ROOT; pid < ROOT + WATCHED; ++pid) {
      if (refreshed.count(pid) != 0) picked.push_back(pid);
    }
  };
  const auto sample = [&] {
    clock.advance(std::chrono::seconds(1));
    source.refresh_processes_specifics(RefreshSelection::everything(), pick,
                                       ProcessInfoSource::Coverage::changedAndPicked);
  };
  const std::size_t first = callsOf(sample);
  const std::size_t steady = callsOf(sample);
  EXPECT_EQ(callsOf(sample), steady);
  // Each watched process: the argument area (size, contents), the disk
  // counters, the first thread's handle and its query, the task totals.
  // The listing: one table read, in the last size.
  EXPECT_EQ(steady, 1 + WATCHED * 6);
  EXPECT_EQ(kernel.calls.processTableReads.size(), 1U);
  EXPECT_EQ(kernel.calls.processTableSizes, 0U);
  EXPECT_EQ(kernel.calls.processorInfo, 1U);
  std::cout << "[calls] sample, 20 watched among 10,000 (4,000 other users'): first " << first << ", then "
            << steady << " per sample, and 1 host_processor_info\n";
}

TEST_F(MacosCostTest, ProcessTableOfTenThousand) {
  MacosPlatform platform(clock);
  std::size_t tables[2] = {};
  for (std::size_t& calls : tables) {
    calls = callsOf([&] {
      auto source = ProcessInfoSource::new_with_specifics(platform);
      source.refresh_processes_specifics(RefreshSelection::nothing());
      EXPECT_EQ(source.processes().size(), PROCESSES);
    });
  }
  const std::size_t own = PROCESSES - OTHER_USERS - 2;  // kernel_task and launchd are root's
  const std::size_t others = OTHER_USERS + 1;          // launchd
  // Kernel_task is named from the table. Each process of one's own: its
  // argument area (size, contents). Another user's: its area's size query
  // succeeds and the read is refused (remembered: not asked again while it
  // runs), then its path. Root reads every area.
  if (kernel.root) {
    EXPECT_EQ(tables[0], 2 + (own + others) * 2);
    EXPECT_EQ(tables[1], 1 + (own + others) * 2);
  } else {
    EXPECT_EQ(tables[0], 2 + own * 2 + others * 3);
    EXPECT_EQ(tables[1], 1 + own * 2 + others * 1);
  }
  std::cout << "[calls] process table of 10,000 (4,000 other users'), " << (kernel.root ? "as root" : "as a user")
            << ": first " << tables[0] << ", next " << tables[1] << "\n";
}

}  // namespace
}  // namespace sidecar::procinfo
