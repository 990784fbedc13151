// Differential test of the selective refresh: the sampler, which reads the
// basic values of every process and the details of the watched ones only,
// against the strategy it replaced, which read everything of every process
// at every refresh (test_support/sampling/full_refresh_reference.h). Both
// run on fake platforms scripted identically by one churning world with its
// faults (test_support/sampling/churn_world.h); after every sample the two
// snapshot lines must be the same bytes, and after every refresh the two
// sources must hold the same records with the same basic and CPU values.
//
// The Linux way (task information read with the basic values, the state
// following the latest refresh) must be byte-identical: CPU values of
// processes that join the watched set later, names, command lines, counts.
// The macOS way may differ only in the first cpuPercent of a joining
// process, which is 0 there.
//
// What the faults may be. A value kept when its read fails (the command
// line, the storage counters, the CPU time and memory sizes) is, in the old strategy, the one read last at
// any refresh; in the new one, the one read last while the process was
// watched. The two differ only when a process joins the watched set at a
// refresh in which that read fails while its basic read succeeds. On Linux
// that needs /proc/PID/cmdline or io to fail for a live process whose stat
// was just read: a zombie's cmdline reads empty and an unreadable io (another
// user's process) stays unreadable, so only an exit between the two reads of
// that one refresh could do it. The world therefore scripts a failing
// argument area, disk counter or task read only for a process that was watched at the
// previous refresh or not known then, makes zombies' argument lists empty
// and some processes' disk counters unreadable for life; every other read
// fails at random as in the churn test.
//
// With an exit watch (the Linux way with pidfds) the sampler reads no more
// than the watched processes, the new ones and those that ended, with their
// children; the others keep their records as they were. The world then
// changes parents only as a kernel does (a process's parent ends), and
// commands that name other processes (a new root, new external processes)
// refresh both samplers at once, as the session does. The snapshots must
// still be the same bytes; every record must still have the reference's
// parent and start time, and the watched ones all its values. A known
// process can still join the watched set without a command: when its parent
// ends and hands it to a watched process it did not descend from (this
// world's processes need not descend from pid 1; on a real system only a
// process entered into a pid namespace from outside is such), or when an
// ancestor whose basic values could not be read is read at last. Its
// CPU baseline is then older than the previous refresh, and its first
// cpuPercent is 0, as a new process's; such joins are counted (about one
// in a thousand joins here).
#include <gtest/gtest.h>

#include <cmath>

#include <cstdint>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "procinfo/fake/fake_clock.h"
#include "procinfo/fake/fake_platform.h"
#include "protocol/byte_sink.h"
#include "protocol/message_writer.h"
#include "protocol/outgoing_message.h"
#include "sampling/process_selection.h"
#include "sampling/sampler.h"
#include "sampling/saturating.h"
#include "test_support/sampling/churn_world.h"
#include "test_support/sampling/full_refresh_reference.h"

namespace sidecar::sampling {
namespace {

using procinfo::FakePlatform;
using testing::ChurnWorld;
using testing::FullRefreshSampler;
using testing::Profile;
using testing::WorldOptions;

struct Case {
  Profile profile;
  /// The Linux way; otherwise the macOS way.
  bool linuxWay = true;
  /// false: the processor counters cannot be read, the CPU fallback runs.
  bool processorCounters = true;
  /// The platform tells when a process ends; `watchBudget` watches at most.
  bool exitWatch = false;
  std::size_t watchBudget = SIZE_MAX;
  /// Make the exit watch give up every watch at this step (-1: never).
  int giveUpAt = -1;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.profile.label; }

std::string line(const protocol::Snapshot& snapshot) {
  protocol::MemorySink sink;
  protocol::MessageWriter writer(sink);
  EXPECT_TRUE(writer.writeMessage(protocol::SnapshotMessage{snapshot}).isOk());
  return sink.bytes();
}

/// Where two lines part, with some context of each.
std::string firstDifference(const std::string& got, const std::string& expected) {
  std::size_t at = 0;
  while (at < got.size() && at < expected.size() && got[at] == expected[at]) ++at;
  const std::size_t from = at < 120 ? 0 : at - 120;
  std::ostringstream out;
  out << "lines differ at byte " << at << "\n  selective: ..." << got.substr(from, 240) << "\n  reference: ..."
      << expected.substr(from, 240);
  return out.str();
}

class DifferentialRun {
 public:
  explicit DifferentialRun(const Case& c)
      : case_(c),
        selectivePlatform_(clockA_),
        referencePlatform_(clockB_),
        world_(c.profile, {&selectivePlatform_, &referencePlatform_},
               WorldOptions{true, [this](std::uint32_t pid) { return detailFaultsAllowed(pid); }, 0.3, true,
                            c.exitWatch}),
        selective_(configured(selectivePlatform_, c), clockA_),
        reference_(configured(referencePlatform_, c), clockB_) {}

  void run() {
    world_.populate();
    for (step_ = 0; step_ < case_.profile.steps; ++step_) {
      const std::uint32_t rootBefore = world_.rootPid();
      world_.churn();
      // The churn names a new root when the old one has gone: as a
      // configure command would.
      bool named = world_.rootPid() != rootBefore;
      if (world_.chance(0.05)) {
        world_.chooseExternals();
        named = true;
      }
      if (case_.exitWatch && world_.chance(0.02)) {
        world_.chooseRoot();
        named = true;
      }
      if (step_ == case_.giveUpAt) selectivePlatform_.giveUpExitWatches();
      world_.script();
      // A command that names processes refreshes at once (configure,
      // setExternalProcesses); the world's draw is made either way.
      const bool primed = world_.chance(0.1) || (named && case_.exitWatch);
      if (primed) {
        selective_.prime(world_.rootPid(), world_.externals());
        reference_.prime(world_.rootPid(), world_.externals());
      } else {
        std::optional<std::string> requestId;
        if (world_.chance(0.2)) {
          // Appended, not "r" + std::to_string(...), which g++ 12 at -O3
          // wrongly warns of (-Wrestrict).
          requestId.emplace("r");
          requestId->append(std::to_string(step_));
        }
        protocol::Snapshot got = selective_.takeSnapshot(world_.rootPid(), world_.externals(), requestId);
        protocol::Snapshot expected = reference_.takeSnapshot(world_.rootPid(), world_.externals(), requestId);
        if (!case_.linuxWay || case_.exitWatch) forgiveFirstCpuOfJoiners(got, expected);
        const std::string gotLine = line(got);
        const std::string expectedLine = line(expected);
        ASSERT_TRUE(gotLine == expectedLine) << where() << firstDifference(gotLine, expectedLine);
        ++snapshots_;
        compared_ += got.processes.size();
        for (const protocol::ProcessSample& sample : got.processes) {
          if (knownBefore_.count(sample.pid) != 0 && watchedBefore_.count(sample.pid) == 0 &&
              sample.cpuPercent != 0.0F) {
            ++joinersWithCpu_;
          }
        }
      }
      checkRecords(primed);
      if (::testing::Test::HasFatalFailure()) return;
      afterRefresh();
    }
    std::cout << "[differential] " << case_.profile.label << (case_.linuxWay ? " (linux" : " (macos")
              << (case_.processorCounters ? "" : ", CPU fallback") << "): " << case_.profile.steps << " steps, "
              << snapshots_ << " snapshots identical, " << compared_ << " process samples, "
              << world_.tally().faults << " faults injected; " << joins_
              << " known processes joined the watched set, "
              << (case_.linuxWay && !case_.exitWatch
                      ? std::to_string(joinersWithCpu_) + " of them with CPU usage in their first sample"
                                 : std::to_string(forgiven_) + " first cpuPercent of a joiner 0")
              << "\n";
  }

 private:
  static FakePlatform& configured(FakePlatform& platform, const Case& c) {
    if (c.exitWatch) platform.setExitWatch(true, c.watchBudget);
    platform.setStateFollowsLatestRefresh(c.linuxWay);
    platform.setTaskInfoComesWithBasicInfo(c.linuxWay);
    platform.setProcessorCountersAvailable(c.processorCounters);
    return platform;
  }

  std::string where() const {
    return "seed " + std::to_string(case_.profile.seed) + " step " + std::to_string(step_) + " (" +
           case_.profile.label + "): ";
  }

  bool detailFaultsAllowed(std::uint32_t pid) const {
    return watchedBefore_.count(pid) != 0 || knownBefore_.count(pid) == 0;
  }

  /// The macOS way, and the way with an exit watch: a known process that
  /// was not watched at the previous refresh and joins the watched set
  /// without a command has no current CPU baseline, so its cpuPercent is 0
  /// where the old strategy had one. Everything else must still match.
  void forgiveFirstCpuOfJoiners(protocol::Snapshot& got, protocol::Snapshot& expected) {
    if (got.processes.size() != expected.processes.size()) return;  // the comparison reports it
    for (std::size_t i = 0; i < got.processes.size(); ++i) {
      protocol::ProcessSample& g = got.processes[i];
      protocol::ProcessSample& e = expected.processes[i];
      if (g.pid != e.pid || watchedBefore_.count(g.pid) != 0) continue;
      if (g.cpuPercent == 0.0F && e.cpuPercent != 0.0F) {
        e.cpuPercent = 0.0F;
        ++forgiven_;
      }
    }
  }

  /// Both sources hold the same records with the same basic values, and,
  /// the Linux way, the same CPU values for every process, watched or not.
  /// With an exit watch, the records of processes not watched now keep
  /// their parent and start time current, the rest as last read; and a
  /// refresh that reads every process (a command's) gives a process that
  /// was left unread before a new CPU baseline and usage 0, which no
  /// snapshot shows.
  void checkRecords(bool primed) {
    const procinfo::ProcessMap& got = selective_.source().processes();
    const procinfo::ProcessMap& expected = reference_.source().processes();
    ASSERT_EQ(got.size(), expected.size()) << where() << "record counts differ";
    // A command's refresh reads every process; a sample's, with an exit
    // watch, the watched ones as the reference selected them.
    const bool everyRead = !case_.exitWatch || primed;
    const std::unordered_set<std::uint32_t>& watchedNow = reference_.selectedPids();
    for (const auto& [pid, e] : expected) {
      const auto found = got.find(pid);
      ASSERT_TRUE(found != got.end()) << where() << "no record for pid " << pid;
      const procinfo::ProcessInfo& g = found->second;
      ASSERT_EQ(g.parentPid, e.parentPid) << where() << "pid " << pid;
      ASSERT_EQ(g.startTime, e.startTime) << where() << "pid " << pid;
      if (!everyRead && watchedNow.count(pid) == 0) continue;
      ASSERT_EQ(g.name, e.name) << where() << "pid " << pid;
      ASSERT_EQ(g.runTime, e.runTime) << where() << "pid " << pid;
      ASSERT_EQ(g.processState, e.processState) << where() << "pid " << pid;
      const bool joined = watchedBefore_.count(pid) == 0 && knownBefore_.count(pid) != 0;
      if (case_.linuxWay && !(case_.exitWatch && (primed || joined))) {
        ASSERT_EQ(g.previousUserTime, e.previousUserTime) << where() << "CPU baseline of pid " << pid;
        ASSERT_EQ(g.previousSystemTime, e.previousSystemTime) << where() << "CPU baseline of pid " << pid;
        ASSERT_EQ(g.accumulatedCpuTime, e.accumulatedCpuTime) << where() << "pid " << pid;
        ASSERT_TRUE(g.cpuUsage == e.cpuUsage || (std::isnan(g.cpuUsage) && std::isnan(e.cpuUsage)))
            << where() << "CPU usage of pid " << pid << ": " << g.cpuUsage << " against " << e.cpuUsage;
      }
    }
  }

  /// Notes what the next step's faults may touch: the processes watched
  /// now and the pids known now.
  void afterRefresh() {
    const procinfo::ProcessMap& processes = reference_.source().processes();
    previousKnown_ = std::move(knownBefore_);
    knownBefore_.clear();
    for (const auto& [pid, info] : processes) {
      knownBefore_.insert(pid);
    }
    for (const std::uint32_t pid : reference_.selectedPids()) {
      if (watchedBefore_.count(pid) == 0 && previousKnown_.count(pid) != 0) ++joins_;
    }
    watchedBefore_ = reference_.selectedPids();

  }

  Case case_;
  procinfo::FakeClock clockA_;
  procinfo::FakeClock clockB_;
  FakePlatform selectivePlatform_;
  FakePlatform referencePlatform_;
  ChurnWorld world_;
  Sampler selective_;
  FullRefreshSampler reference_;
  std::unordered_set<std::uint32_t> watchedBefore_;
  std::unordered_set<std::uint32_t> knownBefore_;
  std::unordered_set<std::uint32_t> previousKnown_;  // known before the refresh before
  std::size_t snapshots_ = 0;
  std::size_t compared_ = 0;
  std::size_t joins_ = 0;
  std::size_t joinersWithCpu_ = 0;
  std::size_t forgiven_ = 0;
  int step_ = 0;
};

class SelectiveRefreshDifferentialTest : public ::testing::TestWithParam<Case> {};

TEST_P(SelectiveRefreshDifferentialTest, SnapshotsMatchTheFullRefreshByteForByte) {
  DifferentialRun run(GetParam());
  run.run();
}

// The churn test's seeds, with a larger tree among many unwatched processes
// and frequent re-parenting into and out of it; then the CPU fallback, and
// the macOS way.
INSTANTIATE_TEST_SUITE_P(
    Seeds, SelectiveRefreshDifferentialTest,
    ::testing::Values(Case{Profile{"dense reuse", 1, 3000, 80, 40, 0.10, 0, 0, 0.1, 0.01}},
                      Case{Profile{"heavy faults", 2, 2000, 200, 60, 0.35, 0, 0, 0.1, 0.01}},
                      Case{Profile{"large tree", 3, 800, 2000, 400, 0.05, 0, 0, 0.6, 0.002}},
                      Case{Profile{"long arguments", 4, 250, 600, 200, 0.05, 16000, 1.0, 0.6, 0.0}},
                      Case{Profile{"small tree, long run", 5, 4500, 40, 3, 0.05, 0, 0, 0.1, 0.0}},
                      Case{Profile{"small tree among many", 6, 1500, 3000, 300, 0.10, 0, 0, 0.05, 0.005}},
                      Case{Profile{"CPU fallback", 7, 1500, 200, 60, 0.10, 0, 0, 0.2, 0.01}, true, false},
                      Case{Profile{"macOS way", 8, 2000, 200, 60, 0.10, 0, 0, 0.2, 0.01}, false, true},
                      Case{Profile{"exit watch, dense reuse", 9, 3000, 80, 40, 0.10, 0, 0, 0.1, 0.01}, true, true,
                           true},
                      Case{Profile{"exit watch, small tree among many", 10, 1500, 3000, 300, 0.10, 0, 0, 0.05, 0.005},
                           true, true, true},
                      Case{Profile{"exit watch, large tree", 11, 800, 2000, 400, 0.05, 0, 0, 0.6, 0.002}, true, true,
                           true},
                      Case{Profile{"exit watch, short of watches", 12, 1500, 200, 60, 0.10, 0, 0, 0.2, 0.01}, true,
                           true, true, 25, 700}),
    [](const ::testing::TestParamInfo<Case>& info) { return "seed" + std::to_string(info.param.profile.seed); });

}  // namespace
}  // namespace sidecar::sampling
