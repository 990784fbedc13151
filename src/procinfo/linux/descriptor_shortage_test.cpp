// The Linux backend when descriptors are short, against the real /proc of
// this machine. Each case runs in a forked child of the test that lowers its
// own open-file limit and takes descriptors first, as a parent that leaves
// descriptors open to its child does, then refreshes a source three times
// with some CPU burnt in between. The child reports what it read over a
// pipe; the test checks it against values read here, where descriptors are
// plenty: every sleeping child of the test must be there with its parent
// and start time, and the forked child must see its own CPU use (which
// needs the CPU interval, and so /proc/stat).
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "procinfo/linux/kept_open_files.h"
#include "procinfo/linux/linux_platform.h"
#include "procinfo/process_info_source.h"
#include "test_support/procinfo/test_child.h"

namespace sidecar::procinfo {
namespace {

constexpr std::size_t CHILDREN = 60;
constexpr int FREE_AT_START = 30;

struct Case {
  const char* what;
  /// The open-file limit, soft and hard.
  rlim_t limit;
  /// Descriptors left free under the limit before the platform is made;
  /// empty: all of them.
  std::optional<int> freeAtStart;
  /// The kept-open budget given to the platform; empty: the default.
  std::optional<std::size_t> budget;
  /// Take every descriptor still free after the first refresh.
  bool fillAfterFirstRefresh;
};

struct Seen {
  bool found = false;
  std::uint32_t parentPid = 0;
  std::uint64_t startTime = 0;
};

struct Report {
  std::map<std::uint32_t, Seen> processes;
  float ownCpuUsage = 0;
  std::size_t budget = 0;
  std::size_t kept = 0;
  std::size_t held = 0;  // descriptors the forked child took and kept
  bool complete = false;
};

// Takes descriptors (copies of /dev/null) until none is free; they stay
// open until the forked child ends.
std::vector<int> takeEveryDescriptor() {
  std::vector<int> taken;
  const int first = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (first < 0) return taken;
  taken.push_back(first);
  for (int fd = dup(first); fd >= 0; fd = dup(first)) taken.push_back(fd);
  return taken;
}

void burnCpu(std::chrono::milliseconds length) {
  const auto until = std::chrono::steady_clock::now() + length;
  volatile std::uint64_t spins = 0;
  while (std::chrono::steady_clock::now() < until) spins = spins + 1;
}

// Runs in the forked child: writes the report as text lines to `out`.
void readUnderShortage(const Case& scenario, const std::vector<std::uint32_t>& pids, int out) {
  const rlimit limit{scenario.limit, scenario.limit};
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  std::vector<int> taken = takeEveryDescriptor();
  if (taken.empty()) return;
  const auto freeAtStart = static_cast<std::size_t>(scenario.freeAtStart.value_or(static_cast<int>(taken.size())));
  for (std::size_t i = 0; i < freeAtStart && !taken.empty(); ++i) {
    close(taken.back());
    taken.pop_back();
  }

  SystemClock clock;
  LinuxPlatform platform(clock, "/proc", scenario.budget);
  auto source = ProcessInfoSource::new_with_specifics(platform);
  source.refresh_processes_specifics(RefreshSelection::everything());
  if (scenario.fillAfterFirstRefresh) {
    for (const int fd : takeEveryDescriptor()) taken.push_back(fd);
  }
  for (int refresh = 0; refresh < 2; ++refresh) {
    burnCpu(std::chrono::milliseconds(300));
    source.refresh_processes_specifics(RefreshSelection::everything());
  }

  std::ostringstream text;
  for (const std::uint32_t pid : pids) {
    const auto found = source.processes().find(pid);
    if (found == source.processes().end()) {
      text << "process " << pid << " 0 0 0\n";
    } else {
      text << "process " << pid << " 1 " << found->second.parentPid.value_or(0) << ' ' << found->second.startTime
           << '\n';
    }
  }
  const auto self = source.processes().find(static_cast<std::uint32_t>(getpid()));
  text << "usage " << (self == source.processes().end() ? -1.0F : self->second.cpuUsage) << '\n';
  text << "budget " << platform.keptOpenBudget() << ' ' << platform.keptOpenCount() << ' ' << taken.size() << '\n';
  text << "end\n";
  const std::string bytes = text.str();
  if (write(out, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) _exit(1);
}

Report parseReport(const std::string& text) {
  Report report;
  std::istringstream lines(text);
  std::string word;
  while (lines >> word) {
    if (word == "process") {
      std::uint32_t pid = 0;
      Seen seen;
      lines >> pid >> seen.found >> seen.parentPid >> seen.startTime;
      report.processes[pid] = seen;
    } else if (word == "usage") {
      lines >> report.ownCpuUsage;
    } else if (word == "budget") {
      lines >> report.budget >> report.kept >> report.held;
    } else if (word == "end") {
      report.complete = true;
    }
  }
  return report;
}

std::string readAll(int fd) {
  std::string text;
  char chunk[4096];
  for (ssize_t got = read(fd, chunk, sizeof chunk); got > 0; got = read(fd, chunk, sizeof chunk)) {
    text.append(chunk, static_cast<std::size_t>(got));
  }
  return text;
}

TEST(DescriptorShortageTest, NoValueIsLostWhenDescriptorsRunShort) {
  std::vector<Child> children;
  for (std::size_t i = 0; i < CHILDREN; ++i) {
    children.push_back(Child::spawn({"/bin/sleep", "60"}));
    ASSERT_GT(children.back().pid(), 0);
  }
  // What the children read as here, with descriptors to spare (and none
  // kept open, so the forked children inherit no more than they must).
  SystemClock clock;
  LinuxPlatform plenty(clock, "/proc", 0);
  std::vector<std::uint32_t> pids;
  std::map<std::uint32_t, std::uint64_t> startTimes;
  for (const Child& child : children) {
    const std::optional<BasicInfo> basic = plenty.basicInfo(child.upid());
    ASSERT_TRUE(basic.has_value());
    pids.push_back(child.upid());
    startTimes[child.upid()] = basic->startSeconds;
  }

  // A limit of 64 is low enough that the stat files of the children alone
  // outgrow any budget under it, whatever else runs on the machine.
  const Case cases[] = {
      {"a parent left all but 30 descriptors open", 256, FREE_AT_START, std::nullopt, false},
      {"a budget larger than the descriptors free", 64, FREE_AT_START, std::size_t{1'000'000}, false},
      {"descriptors run out after the first refresh", 64, std::nullopt, std::nullopt, true},
      // An open-file limit of 4, 5, 6 or 8 with only the standard streams
      // open: 1, 2, 3 or 5 descriptors free, fewer than /proc and /proc/stat
      // held plus one per file read.
      {"one descriptor free", 64, 1, std::nullopt, false},
      {"two descriptors free", 64, 2, std::nullopt, false},
      {"three descriptors free", 64, 3, std::nullopt, false},
      {"five descriptors free", 64, 5, std::nullopt, false},
  };
  for (const Case& scenario : cases) {
    SCOPED_TRACE(scenario.what);
#ifdef SIDECAR_SANITIZED
    // A sanitizer's own checks need more descriptors than these leave.
    if (scenario.freeAtStart && *scenario.freeAtStart < FREE_AT_START) continue;
#endif
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    Child reader = Child::fork([&] {
      close(pipeFds[0]);
      readUnderShortage(scenario, pids, pipeFds[1]);
      close(pipeFds[1]);
    });
    close(pipeFds[1]);
    ASSERT_GT(reader.pid(), 0);
    const Report report = parseReport(readAll(pipeFds[0]));
    close(pipeFds[0]);
    ASSERT_TRUE(report.complete) << "the forked child reported nothing";
    ASSERT_GT(report.held, 0U) << "the forked child inherited too many descriptors to take any";

    std::size_t missing = 0;
    std::size_t wrong = 0;
    for (const std::uint32_t pid : pids) {
      const Seen& seen = report.processes.at(pid);
      if (!seen.found) {
        ++missing;
        continue;
      }
      if (seen.parentPid != static_cast<std::uint32_t>(getpid()) || seen.startTime != startTimes[pid]) ++wrong;
    }
    EXPECT_EQ(missing, 0U) << "children absent from the source";
    EXPECT_EQ(wrong, 0U) << "children with a wrong parent or start time";
    EXPECT_GT(report.ownCpuUsage, 0.0F) << "the CPU interval was measured";
    if (scenario.freeAtStart && !scenario.budget && *scenario.freeAtStart > static_cast<int>(RESERVED_DESCRIPTORS)) {
      EXPECT_GT(report.budget, 0U);
      EXPECT_LE(report.budget + RESERVED_DESCRIPTORS, static_cast<std::size_t>(*scenario.freeAtStart))
          << "the budget comes from the descriptors free";
    } else {
      EXPECT_EQ(report.budget, 0U) << "descriptors ran short: no file is kept any more";
      EXPECT_EQ(report.kept, 0U);
    }
  }
}

}  // namespace
}  // namespace sidecar::procinfo
