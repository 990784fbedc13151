// The /proc files kept open between refreshes, against the real /proc of this
// machine with children the test spawns (and kills and reaps by pid): what
// the kernel does to a kept descriptor when its process ends or its pid is
// taken again, that the backend then reaches the new process, that the files
// of ended processes are closed, and that a small budget changes no value.
#include "procinfo/linux/kept_open_files.h"

#include <fcntl.h>
#include <linux/sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "procinfo/linux/linux_platform.h"
#include "procinfo/process_info_source.h"
#include "test_support/procinfo/test_child.h"

namespace sidecar::procinfo {
namespace {

using ::testing::ElementsAre;

constexpr RefreshSelection ALL = RefreshSelection::everything();

// The pids whose /proc/PID files this process has open now.
std::set<std::uint32_t> pidsWithOpenProcFiles() {
  std::set<std::uint32_t> pids;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (error || target.rfind("/proc/", 0) != 0) continue;
    std::uint32_t pid = 0;
    const char* begin = target.data() + 6;
    const auto [end, parsed] = std::from_chars(begin, target.data() + target.size(), pid);
    if (parsed == std::errc() && end != begin && *end == '/') pids.insert(pid);
  }
  return pids;
}

// Reads `pid`'s arguments until they are `expected` or 10 s have passed, and
// returns the last reading. A new child shows its parent's command line until
// its execve, and no arguments at all for a moment during it.
std::vector<std::string> waitForArguments(LinuxPlatform& platform, std::uint32_t pid,
                                          const std::vector<std::string>& expected) {
  std::string name;
  std::vector<std::string> arguments;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    arguments.clear();
    const bool read = platform.readNameAndArguments(pid, false, true, name, arguments);
    if ((read && arguments == expected) || std::chrono::steady_clock::now() >= deadline) return arguments;
    usleep(2'000);
  }
}

TEST(KeptOpenFilesTest, DescriptorOfAReapedProcessFailsWhileAZombiesStillReads) {
  Child child = Child::spawn({"/bin/sleep", "30"});
  ASSERT_GT(child.pid(), 0);
  const std::string dir = "/proc/" + std::to_string(child.pid()) + "/";
  std::vector<Descriptor> files;
  for (const char* leaf : {"stat", "io", "cmdline"}) {
    files.emplace_back(open((dir + leaf).c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(files.back().valid()) << leaf;
  }
  ReadBuffer buffer;
  ASSERT_EQ(kill(child.pid(), SIGKILL), 0);
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child.pid()), &info, WEXITED | WNOWAIT), 0);
  ASSERT_TRUE(readWhole(files[0].get(), buffer));
  EXPECT_GT(buffer.size, 0U) << "a zombie's stat still reads";

  child.reap();
  for (std::size_t i = 0; i < files.size(); ++i) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      errno = 0;
      EXPECT_FALSE(readWhole(files[i].get(), buffer)) << "file " << i << " attempt " << attempt;
      EXPECT_EQ(errno, ESRCH) << "file " << i << " attempt " << attempt;
    }
  }
}

TEST(KeptOpenFilesTest, AReusedPidIsReadAsTheNewProcess) {
  SystemClock clock;
  LinuxPlatform platform(clock);
  Child first = Child::spawn({"/bin/sleep", "30"});
  ASSERT_GT(first.pid(), 0);
  const std::uint32_t pid = first.upid();
  std::vector<std::uint32_t> pids;
  std::string name;
  std::vector<std::string> arguments;
  ASSERT_TRUE(platform.listPids(pids));
  ASSERT_TRUE(platform.basicInfo(pid).has_value());
  ASSERT_THAT(waitForArguments(platform, pid, {"/bin/sleep", "30"}), ElementsAre("/bin/sleep", "30"));
  ASSERT_TRUE(platform.readNameAndArguments(pid, true, true, name, arguments));
  ASSERT_TRUE(platform.diskCounters(pid).has_value());
  EXPECT_EQ(pidsWithOpenProcFiles().count(pid), 1U) << "the files are kept open";

  kill(first.pid(), SIGKILL);
  first.reap();
  int error = 0;
  Child second = Child::spawnWithPid(static_cast<pid_t>(pid), {"/bin/sleep", "31"}, error);
  if (second.pid() <= 0) {
    // The pid cannot be taken again here: the kept files must fail, and the
    // reopening too.
    EXPECT_FALSE(platform.basicInfo(pid).has_value());
    EXPECT_FALSE(platform.readNameAndArguments(pid, false, true, name, arguments));
    EXPECT_FALSE(platform.diskCounters(pid).has_value());
    GTEST_SKIP() << "cannot choose a child's pid here; checked the ended process only";
  }
  ASSERT_EQ(second.upid(), pid);
  arguments = waitForArguments(platform, pid, {"/bin/sleep", "31"});
  EXPECT_THAT(arguments, ElementsAre("/bin/sleep", "31")) << "the command line of the new process";
  const std::optional<BasicInfo> basic = platform.basicInfo(pid);
  ASSERT_TRUE(basic.has_value());
  EXPECT_EQ(basic->parentPid, static_cast<std::uint32_t>(getpid()));
  EXPECT_TRUE(platform.diskCounters(pid).has_value());
  EXPECT_LE(platform.keptOpenCount(), platform.keptOpenBudget());
}

TEST(KeptOpenFilesTest, FilesOfEndedProcessesAreClosedAtTheNextListing) {
  SystemClock clock;
  LinuxPlatform platform(clock);
  auto sampling = ProcessInfoSource::new_with_specifics(platform);
  sampling.refresh_processes_specifics(ALL);

  std::vector<Child> children;
  for (int i = 0; i < 20; ++i) {
    children.push_back(Child::spawn({"/bin/sleep", "30"}));
    ASSERT_GT(children.back().pid(), 0);
  }
  sampling.refresh_processes_specifics(ALL);
  // A process table's source is made afresh on the same platform and sees a
  // child the sampling source never saw.
  Child tableOnly = Child::spawn({"/bin/sleep", "30"});
  ASSERT_GT(tableOnly.pid(), 0);
  auto table = ProcessInfoSource::new_with_specifics(platform);
  table.refresh_processes_specifics(RefreshSelection::nothing());
  ASSERT_EQ(table.processes().count(tableOnly.upid()), 1U);

  std::set<std::uint32_t> ours = {tableOnly.upid()};
  for (const Child& child : children) ours.insert(child.upid());
  const std::set<std::uint32_t> open = pidsWithOpenProcFiles();
  for (const std::uint32_t pid : ours) EXPECT_EQ(open.count(pid), 1U) << "pid " << pid << " is kept open";

  children.clear();
  kill(tableOnly.pid(), SIGKILL);
  tableOnly.reap();
  sampling.refresh_processes_specifics(ALL);
  for (const std::uint32_t pid : pidsWithOpenProcFiles()) {
    EXPECT_EQ(ours.count(pid), 0U) << "the files of ended pid " << pid << " are still open";
  }
  // At most three files per listed process. Bounded by a listing rather than
  // by the records: a process of the machine may end between the listing
  // and its read, and its files go at the next listing.
  std::vector<std::uint32_t> listed;
  ASSERT_TRUE(platform.listPids(listed));
  EXPECT_LE(platform.keptOpenCount(), 3 * listed.size());
  // The sampling source's records are whole after the table's refresh.
  const ProcessInfo& self = sampling.processes().at(static_cast<std::uint32_t>(getpid()));
  EXPECT_FALSE(self.commandLine.empty());
  EXPECT_GT(self.residentMemory, 0U);
}

// How many of this process's descriptors are open on /proc/`pid`/`leaf`.
std::size_t openProcFiles(std::uint32_t pid, const std::string& leaf) {
  const std::string wanted = "/proc/" + std::to_string(pid) + "/" + leaf;
  std::size_t count = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    if (std::filesystem::read_symlink(entry.path(), error).string() == wanted) ++count;
  }
  return count;
}

TEST(KeptOpenFilesTest, WatchedProcessesKeepThreeFilesOpenAndTheOthersOne) {
  SystemClock clock;
  LinuxPlatform platform(clock);
  std::vector<Child> children;
  for (int i = 0; i < 6; ++i) {
    children.push_back(Child::spawn({"/bin/sleep", "30"}));
    ASSERT_GT(children.back().pid(), 0);
  }
  {
    LinuxPlatform reader(clock);
    for (const Child& child : children) {
      ASSERT_THAT(waitForArguments(reader, child.upid(), {"/bin/sleep", "30"}), ElementsAre("/bin/sleep", "30"));
    }
  }
  std::set<std::uint32_t> watched = {children[0].upid(), children[1].upid(), children[2].upid()};
  const ProcessInfoSource::DetailPicker pick = [&](const ProcessMap&, std::vector<std::uint32_t>& picked) {
    picked.assign(watched.begin(), watched.end());
  };
  auto sampling = ProcessInfoSource::new_with_specifics(platform);
  sampling.refresh_processes_specifics(ALL, pick);
  sampling.refresh_processes_specifics(ALL, pick);
  const auto expectKept = [&](const char* when) {
    for (const Child& child : children) {
      const bool isWatched = watched.count(child.upid()) != 0;
      EXPECT_EQ(openProcFiles(child.upid(), "stat"), 1U) << when << ": pid " << child.upid();
      EXPECT_EQ(openProcFiles(child.upid(), "io"), isWatched ? 1U : 0U) << when << ": pid " << child.upid();
      EXPECT_EQ(openProcFiles(child.upid(), "cmdline"), isWatched ? 1U : 0U) << when << ": pid " << child.upid();
    }
  };
  expectKept("first set watched");

  // Another set is watched. The first set is read once more (picked at the
  // refresh before, its details come with its basic values), and its io and
  // cmdline are closed at the listing after the first refresh that no longer
  // read them; a process table's refresh in between closes none of the
  // watched ones.
  watched = {children[3].upid(), children[4].upid()};
  sampling.refresh_processes_specifics(ALL, pick);
  auto table = ProcessInfoSource::new_with_specifics(platform);
  table.refresh_processes_specifics(RefreshSelection::nothing());
  for (const std::uint32_t pid : watched) {
    EXPECT_EQ(openProcFiles(pid, "io"), 1U) << "after a process table: pid " << pid;
    EXPECT_EQ(openProcFiles(pid, "cmdline"), 1U) << "after a process table: pid " << pid;
  }
  sampling.refresh_processes_specifics(ALL, pick);
  sampling.refresh_processes_specifics(ALL, pick);
  expectKept("second set watched");
  EXPECT_THAT(sampling.processes().at(children[3].upid()).commandLine, ElementsAre("/bin/sleep", "30"));
  EXPECT_THAT(sampling.processes().at(children[5].upid()).commandLine, ::testing::IsEmpty())
      << "an unwatched process's command line is never read";
}

TEST(KeptOpenFilesTest, EveryBudgetReadsTheSameValues) {
  // Command lines short and long: the long ones outgrow the first read
  // buffer, so they are read in several parts.
  std::vector<std::string> seconds;
  for (int i = 0; i < 8; ++i) {
    std::string text = std::to_string(100 + i);
    if (i % 3 == 2) text = std::string(4096 * static_cast<std::size_t>(i / 3 + 1) - 11, '0') + text;
    seconds.push_back(text);
  }
  std::vector<Child> children;
  for (const std::string& text : seconds) {
    children.push_back(Child::spawn({"/bin/sleep", text}));
    ASSERT_GT(children.back().pid(), 0);
  }
  SystemClock clock;
  {
    LinuxPlatform reader(clock);
    for (std::size_t i = 0; i < children.size(); ++i) {
      ASSERT_THAT(waitForArguments(reader, children[i].upid(), {"/bin/sleep", seconds[i]}),
                  ElementsAre("/bin/sleep", seconds[i]));
    }
  }
  for (const std::size_t budget : {std::size_t{0}, std::size_t{1}, std::size_t{5}, std::size_t{1000000}}) {
    LinuxPlatform platform(clock, "/proc", budget);
    auto source = ProcessInfoSource::new_with_specifics(platform);
    // The second refresh reads through whatever the first kept open.
    for (int refresh = 0; refresh < 2; ++refresh) {
      source.refresh_processes_specifics(ALL);
      EXPECT_LE(platform.keptOpenCount(), budget) << "budget " << budget;
      for (std::size_t i = 0; i < children.size(); ++i) {
        const auto found = source.processes().find(children[i].upid());
        ASSERT_NE(found, source.processes().end()) << "budget " << budget << " child " << i;
        const ProcessInfo& info = found->second;
        EXPECT_EQ(info.name, "sleep") << "budget " << budget << " child " << i;
        EXPECT_THAT(info.commandLine, ElementsAre("/bin/sleep", seconds[i]))
            << "budget " << budget << " child " << i;
        EXPECT_EQ(info.parentPid, static_cast<std::uint32_t>(getpid())) << "budget " << budget;
        EXPECT_GT(info.virtualMemory, 0U) << "budget " << budget << " child " << i;
      }
    }
    if (budget >= 1000000) {
      EXPECT_GE(platform.keptOpenCount(), 3 * children.size());
    }
  }
}

TEST(KeptOpenFilesTest, TheDefaultBudgetLeavesTheReserveUnderTheLimit) {
  const std::size_t budget = defaultKeptOpenBudget();
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  EXPECT_EQ(limit.rlim_cur, limit.rlim_max) << "the soft limit is raised to the hard one";
  // At least the standard streams are open, and they are not free.
  EXPECT_LE(budget + RESERVED_DESCRIPTORS + 3, limit.rlim_cur);
  // Descriptors held open (as a parent may leave them to its child) come
  // off the budget one for one.
  std::vector<Descriptor> held;
  for (int i = 0; i < 100; ++i) {
    held.emplace_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(held.back().valid());
  }
  EXPECT_EQ(defaultKeptOpenBudget(), budget - 100);
}

}  // namespace
}  // namespace sidecar::procinfo
