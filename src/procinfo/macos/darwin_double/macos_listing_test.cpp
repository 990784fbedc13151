// What the macOS backend decides about the listing, run against the double
// of the Darwin kernel: one process-table read per refresh with the basic
// values of every process (kernel_task, zombies, other users' and traced
// processes included), the table read again only when it is short, and the
// fallback where a sandbox refuses the table.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/sysctl.h>

#include <cstdint>
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
using ::testing::UnorderedElementsAre;
using Kind = ProcessState::Kind;

constexpr std::size_t RECORD = sizeof(struct kinfo_proc);

struct Row {
  std::uint32_t pid;
  ProcessState state;
  std::uint32_t parent;
  std::uint64_t seconds;
  std::uint64_t instant;
};

void expectRows(MacosPlatform& platform, const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    const std::optional<BasicInfo> basic = platform.basicInfo(row.pid);
    ASSERT_TRUE(basic) << row.pid;
    EXPECT_EQ(basic->state, row.state) << row.pid;
    EXPECT_EQ(basic->parentPid, row.parent) << row.pid;
    EXPECT_EQ(basic->startSeconds, row.seconds) << row.pid;
    EXPECT_EQ(basic->startInstant, row.instant) << row.pid;
  }
}

// --- The process table ----------------------------------------------------------------

TEST_F(MacosPlatformTest, OneTableReadListsEveryProcessWithItsBasicValues) {
  add(0, dd::kernelTask(99));
  add(1, dd::launchd(100));
  dd::Process& app = add(50, dd::ordinaryProcess(1, 1'700'000'000, "app"));
  app.startMicroseconds = 250'000;
  dd::Process& other = add(60, dd::ordinaryProcess(50, 1'700'000'100, "sudo"));
  other.otherUser = true;  // setuid, under the app: still listed, with its parent
  dd::Process& zombie = add(40, dd::ordinaryProcess(50, 1'700'000'200, "gone"));
  zombie.status = SZOMB;
  zombie.threads.clear();
  add(70, dd::ordinaryProcess(1, 1'700'000'050, "stopped")).status = SSTOP;
  add(75, dd::ordinaryProcess(50, 1'700'000'055, "leaving")).exiting = true;
  add(80, dd::ordinaryProcess(1, 1'700'000'060, "starting")).status = SIDL;
  MacosPlatform platform(clock);
  std::vector<std::uint32_t> pids = {7};
  ASSERT_TRUE(platform.listPids(pids));
  // As the system lists them: newest first, zombies last; a process still
  // being created is not listed.
  EXPECT_THAT(pids, ElementsAre(60U, 75U, 70U, 50U, 1U, 0U, 40U));
  EXPECT_EQ(kernel.calls.processTableSizes, 1U);
  EXPECT_EQ(kernel.calls.processTableReads.size(), 1U);

  expectRows(platform, {
                           {0, ProcessState(Kind::Run), 0, 99, 99'000'000},
                           {1, ProcessState(Kind::Run), 0, 100, 100'000'000},
                           {50, ProcessState(Kind::Run), 1, 1'700'000'000, 1'700'000'000'250'000},
                           {60, ProcessState(Kind::Run), 50, 1'700'000'100, 1'700'000'100'000'000},
                           {40, ProcessState(Kind::Zombie), 50, 1'700'000'200, 1'700'000'200'000'000},
                           {70, ProcessState(Kind::Stop), 1, 1'700'000'050, 1'700'000'050'000'000},
                           {75, ProcessState(Kind::Run), 50, 1'700'000'055, 1'700'000'055'000'000},
                       });
  // Answered from the listing: no call per process.
  EXPECT_THAT(kernel.calls.processReads, IsEmpty());
  EXPECT_THAT(kernel.calls.bsdInfo, IsEmpty());
  EXPECT_EQ(kernel.calls.processTableReads.size(), 1U);
}

TEST_F(MacosPlatformTest, TracedProcessKeepsItsRealParent) {
  add(1, dd::launchd());
  add(50, dd::ordinaryProcess(1, 1000, "app"));
  add(60, dd::ordinaryProcess(50, 1001, "helper"));
  add(90, dd::ordinaryProcess(1, 1002, "debugserver"));
  MacosPlatform platform(clock);
  std::vector<std::uint32_t> pids;
  // Attached, the table names the debugger as the parent; detached, the
  // parent comes back. The helper never leaves its parent's tree.
  for (const bool attached : {true, false, true}) {
    kernel.processes[60].tracer = attached ? std::optional<std::uint32_t>(90) : std::nullopt;
    ASSERT_TRUE(platform.listPids(pids));
    EXPECT_EQ(platform.basicInfo(60)->parentPid, 50U) << attached;
  }
  // A process the listing did not hold, read on its own, too.
  add(61, dd::ordinaryProcess(60, 1003, "late")).tracer = 90;
  EXPECT_EQ(platform.basicInfo(61)->parentPid, 60U);
}

TEST_F(MacosPlatformTest, ProcessNotInTheListingIsReadOnItsOwn) {
  MacosPlatform platform(clock);
  add(1, dd::launchd());
  std::vector<std::uint32_t> pids;
  ASSERT_TRUE(platform.listPids(pids));
  dd::Process& late = add(90, dd::ordinaryProcess(1, 1234, "late"));
  late.otherUser = true;
  const std::optional<BasicInfo> basic = platform.basicInfo(90);
  ASSERT_TRUE(basic);
  EXPECT_EQ(basic->parentPid, 1U);
  EXPECT_EQ(basic->startSeconds, 1234U);
  EXPECT_FALSE(platform.basicInfo(91)) << "no such process";
  EXPECT_THAT(kernel.calls.processReads, ElementsAre(90, 91));

  // The next listing drops what has gone.
  kernel.processes.erase(1);
  ASSERT_TRUE(platform.listPids(pids));
  EXPECT_THAT(pids, ElementsAre(90U));
  EXPECT_FALSE(platform.basicInfo(1));
}

TEST_F(MacosPlatformTest, TableIsReadOncePerRefreshInTheLastSizeWithRoomToSpare) {
  for (int pid = 1; pid <= 10; ++pid) add(pid, "p");
  MacosPlatform platform(clock);
  std::vector<std::uint32_t> pids;
  ASSERT_TRUE(platform.listPids(pids));  // sized once, at the first listing
  EXPECT_EQ(kernel.calls.processTableSizes, 1U);
  EXPECT_EQ(kernel.calls.processTableReads.size(), 1U);

  // A few processes more fit in the room to spare: one call per listing.
  for (int pid = 100; pid < 130; ++pid) add(pid, "new");
  ASSERT_TRUE(platform.listPids(pids));
  EXPECT_EQ(pids.size(), 40U);
  ASSERT_TRUE(platform.listPids(pids));
  EXPECT_EQ(kernel.calls.processTableSizes, 1U);
  ASSERT_EQ(kernel.calls.processTableReads.size(), 3U);
  EXPECT_EQ(kernel.calls.processTableReads[1], kernel.calls.processTableReads[0] - 5 * RECORD)
      << "the 10 listed and the same room, not the size query's 5 spare";
  EXPECT_EQ(kernel.calls.processTableReads[2], kernel.calls.processTableReads[1] + 30 * RECORD);

  // Many more: the read is short (the records that fit are not taken), so
  // the table is sized and read again, in the same listing.
  for (int pid = 200; pid < 400; ++pid) add(pid, "crowd");
  ASSERT_TRUE(platform.listPids(pids));
  EXPECT_EQ(pids.size(), 240U);
  EXPECT_EQ(kernel.calls.processTableSizes, 2U);
  EXPECT_EQ(kernel.calls.processTableReads.size(), 5U);
  EXPECT_TRUE(platform.basicInfo(399));
  EXPECT_THAT(kernel.calls.processReads, IsEmpty());
}

TEST_F(MacosPlatformTest, TableThatGrowsAfterItsSizeIsReadAgain) {
  for (int pid = 1; pid <= 5; ++pid) add(pid, "p");
  bool started = false;
  kernel.beforeListing = [&] {
    if (started) return;
    started = true;
    for (int pid = 100; pid < 200; ++pid) add(pid, "new");  // more than the slack
  };
  MacosPlatform platform(clock);
  std::vector<std::uint32_t> pids;
  ASSERT_TRUE(platform.listPids(pids));
  EXPECT_EQ(pids.size(), 105U);
  EXPECT_EQ(kernel.calls.processTableSizes, 2U);
  ASSERT_EQ(kernel.calls.processTableReads.size(), 2U);
  EXPECT_GT(kernel.calls.processTableReads[1], kernel.calls.processTableReads[0]);
  EXPECT_TRUE(platform.basicInfo(150));
  EXPECT_THAT(kernel.calls.processReads, IsEmpty());
}

TEST_F(MacosPlatformTest, TableThatKeepsGrowingGivesWayToThePidListForOneListing) {
  add(1, dd::launchd());
  int next = 1000;
  kernel.beforeListing = [&] {
    for (int i = 0; i < 200; ++i) add(next++, "new");
  };
  MacosPlatform platform(clock);
  std::vector<std::uint32_t> pids;
  ASSERT_TRUE(platform.listPids(pids));
  EXPECT_EQ(kernel.calls.processTableReads.size(), 8U);
  EXPECT_EQ(pids.size(), 1601U) << "every pid, from proc_listallpids";
  EXPECT_EQ(kernel.calls.listAllPids.size(), 2U);
  // The next listing asks for the table again: it was short, not refused.
  kernel.beforeListing = nullptr;
  ASSERT_TRUE(platform.listPids(pids));
  EXPECT_EQ(kernel.calls.processTableReads.size(), 9U);
  EXPECT_EQ(kernel.calls.listAllPids.size(), 2U);
}

TEST_F(MacosPlatformTest, EmptyListingFails) {
  MacosPlatform platform(clock);
  std::vector<std::uint32_t> pids = {7};
  EXPECT_FALSE(platform.listPids(pids));
}

// --- A sandbox that refuses the table ----------------------------------------------------

TEST_F(MacosPlatformTest, RefusedTableFallsBackToThePidListAndEachProcessBsdInformation) {
  add(0, dd::kernelTask(99));
  add(1, dd::launchd(100));
  dd::Process& app = add(50, dd::ordinaryProcess(1, 1'700'000'000, "app"));
  app.startMicroseconds = 250'000;
  add(60, dd::ordinaryProcess(50, 1'700'000'100, "sudo")).otherUser = true;
  dd::Process& zombie = add(40, dd::ordinaryProcess(50, 1'700'000'200, "gone"));
  zombie.status = SZOMB;
  zombie.threads.clear();
  add(80, dd::ordinaryProcess(1, 1'700'000'060, "starting")).status = SIDL;
  kernel.sandbox.processTable = true;
  MacosPlatform platform(clock);
  std::vector<std::uint32_t> pids;
  ASSERT_TRUE(platform.listPids(pids));
  EXPECT_THAT(pids, UnorderedElementsAre(0U, 1U, 40U, 50U, 60U));

  // Its own processes and zombies from their BSD information (the start to
  // the microsecond, as the table gives it); other users' only for root.
  expectRows(platform, {
                           {50, ProcessState(Kind::Run), 1, 1'700'000'000, 1'700'000'000'250'000},
                           {40, ProcessState(Kind::Zombie), 50, 1'700'000'200, 1'700'000'200'000'000},
                       });
  EXPECT_EQ(platform.basicInfo(60).has_value(), kernel.root);
  EXPECT_EQ(platform.basicInfo(0).has_value(), kernel.root);
  EXPECT_EQ(platform.basicInfo(1).has_value(), kernel.root);
  const std::size_t bsdReads = kernel.calls.bsdInfo.size();
  EXPECT_TRUE(platform.basicInfo(50));
  EXPECT_EQ(kernel.calls.bsdInfo.size(), bsdReads) << "kept until the next listing";
  // A zombie has no path; its short name from its BSD information names it.
  std::string name;
  ASSERT_TRUE(platform.readNameFromPath(40, name));
  EXPECT_EQ(name, "gone");

  // The refusal lasts: the table is not asked for again.
  const std::size_t tableCalls = kernel.calls.processTableSizes + kernel.calls.processTableReads.size();
  EXPECT_EQ(tableCalls, 1U);
  ASSERT_TRUE(platform.listPids(pids));
  EXPECT_EQ(kernel.calls.processTableSizes + kernel.calls.processTableReads.size(), tableCalls);
  EXPECT_EQ(kernel.calls.listAllPids.size(), 4U) << "count and list, at each listing";
  // A pid the list did not hold: its BSD information too.
  add(90, dd::ordinaryProcess(1, 1234, "late"));
  EXPECT_EQ(platform.basicInfo(90)->startSeconds, 1234U);
  EXPECT_THAT(kernel.calls.processReads, IsEmpty());
}

TEST_F(MacosPlatformTest, NoListingAtAllFails) {
  add(1, dd::launchd());
  add(50, "app");
  kernel.sandbox.processTable = true;
  kernel.sandbox.listAllPids = true;
  MacosPlatform platform(clock);
  std::vector<std::uint32_t> pids = {7};
  EXPECT_FALSE(platform.listPids(pids));
  EXPECT_FALSE(platform.listPids(pids));
  EXPECT_EQ(kernel.calls.processTableSizes + kernel.calls.processTableReads.size(), 1U);
}

}  // namespace
}  // namespace sidecar::procinfo
