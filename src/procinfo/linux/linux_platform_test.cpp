// Tests against the real /proc of this machine, with children the test
// spawns (and kills and reaps by pid). Bounds are generous: other work may
// share the processors.
#include "procinfo/linux/linux_platform.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "procinfo/linux/proc_files.h"
#include "procinfo/process_info_source.h"
#include "test_support/procinfo/test_child.h"

namespace sidecar::procinfo {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr RefreshSelection ALL = RefreshSelection::everything();
constexpr std::uint64_t MIB = 1024 * 1024;

class LinuxPlatformTest : public ::testing::Test {
 protected:
  const ProcessInfo* find(std::uint32_t pid) {
    const auto it = source.processes().find(pid);
    return it == source.processes().end() ? nullptr : &it->second;
  }

  SystemClock clock;
  std::unique_ptr<Platform> platform = makeSystemPlatform(clock);
  ProcessInfoSource source = ProcessInfoSource::new_with_specifics(*platform);
};

TEST_F(LinuxPlatformTest, NamesThePlatform) {
  EXPECT_STREQ(systemPlatformName(), "linux");
  EXPECT_THAT(systemArchName(), ::testing::AnyOf(::testing::StrEq("x86_64"), ::testing::StrEq("aarch64")));
}

TEST_F(LinuxPlatformTest, ListsEveryProcessPsListsKernelThreadsIncluded) {
  const auto psPids = [] {
    std::set<std::uint32_t> pids;
    FILE* ps = popen("ps -e -o pid=", "r");
    if (ps == nullptr) return pids;
    unsigned pid = 0;
    while (fscanf(ps, "%u", &pid) == 1) pids.insert(pid);
    pclose(ps);
    return pids;
  };
  const std::set<std::uint32_t> before = psPids();
  source.refresh_processes_specifics(ALL);
  const std::set<std::uint32_t> after = psPids();
  ASSERT_FALSE(before.empty()) << "ps gave nothing";
  std::size_t checked = 0;
  for (const std::uint32_t pid : before) {
    if (after.count(pid) == 0) continue;  // ended meanwhile
    ++checked;
    const ProcessInfo* info = find(pid);
    ASSERT_NE(info, nullptr) << "pid " << pid << " listed by ps is missing";
    EXPECT_FALSE(info->name.empty()) << "pid " << pid;
  }
  EXPECT_GT(checked, 0U);
}

TEST_F(LinuxPlatformTest, OwnProcessReadsSaneValuesAndKeepsItsStartTime) {
  const auto self = static_cast<std::uint32_t>(getpid());
  source.refresh_processes_specifics(ALL);
  ASSERT_NE(find(self), nullptr);
  const std::uint64_t start = find(self)->startTime;
  const auto now = static_cast<std::uint64_t>(std::chrono::duration_cast<seconds>(clock.wallNow()).count());
  EXPECT_LE(start, now);
  EXPECT_GT(start + 24 * 3600, now) << "started within the last day";
  EXPECT_EQ(find(self)->parentPid, static_cast<std::uint32_t>(getppid()));
  EXPECT_EQ(statusText(reportedStatus(*find(self))), "Run");
  EXPECT_GT(find(self)->residentMemory, 0U);
  EXPECT_GE(find(self)->virtualMemory, find(self)->residentMemory);
  EXPECT_FALSE(find(self)->commandLine.empty());
  for (int i = 0; i < 4; ++i) {
    clock.sleepFor(milliseconds(250));
    source.refresh_processes_specifics(ALL);
    ASSERT_NE(find(self), nullptr);
    EXPECT_EQ(find(self)->startTime, start) << "refresh " << i;
  }
  // Another platform object reads the boot instant again; the two readings
  // differ by microseconds, which can move a start lying that close to a
  // second's beginning into the second before or after, not more.
  auto other = makeSystemPlatform(clock);
  auto otherSource = ProcessInfoSource::new_with_specifics(*other);
  otherSource.refresh_processes_specifics(RefreshSelection::nothing());
  const std::uint64_t again = otherSource.processes().at(self).startTime;
  EXPECT_LE(again > start ? again - start : start - again, 1U);
}

TEST_F(LinuxPlatformTest, BusyChildReadsAbout100AndItsCpuTimeGrows) {
  Child busy = Child::spawn({"/bin/sh", "-c", "while :; do :; done"});
  ASSERT_GT(busy.pid(), 0);
  source.refresh_processes_specifics(ALL);
  ASSERT_NE(find(busy.upid()), nullptr);
  clock.sleepFor(seconds(1));
  source.refresh_processes_specifics(ALL);
  const std::uint64_t firstTime = find(busy.upid())->accumulatedCpuTime;
  const auto firstAt = clock.monotonicNow();
  clock.sleepFor(seconds(1));
  source.refresh_processes_specifics(ALL);
  const auto secondAt = clock.monotonicNow();
  const ProcessInfo* info = find(busy.upid());
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(statusText(reportedStatus(*info)), "Run");
  ASSERT_GT(info->accumulatedCpuTime, firstTime) << "the CPU time grows";

  // What the child really got: its CPU time over the wall time between the
  // two refreshes. On an idle processor that is about 100 %; on a machine
  // busy with other work less, and the usage must follow it, not 100.
  const double elapsedMs = std::chrono::duration<double, std::milli>(secondAt - firstAt).count();
  const double share = 100.0 * static_cast<double>(info->accumulatedCpuTime - firstTime) / elapsedMs;
  EXPECT_GE(info->cpuUsage, 0.6 * share) << "share " << share;
  EXPECT_LE(info->cpuUsage, 1.4 * share) << "share " << share;
  if (share >= 90.0) {
    EXPECT_GE(info->cpuUsage, 60.0F);
    EXPECT_LE(info->cpuUsage, 140.0F);
  }
}

TEST_F(LinuxPlatformTest, ChildThatTouches256MiBIsResident) {
  Child child = Child::fork([] {
    void* block = mmap(nullptr, 256 * MIB, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) _exit(1);
    std::memset(block, 1, 256 * MIB);
  });
  ASSERT_GT(child.pid(), 0);
  source.refresh_processes_specifics(ALL);
  const ProcessInfo* info = find(child.upid());
  ASSERT_NE(info, nullptr);
  EXPECT_GE(info->residentMemory, 256 * MIB);
  EXPECT_GE(info->virtualMemory, info->residentMemory);
}

TEST_F(LinuxPlatformTest, ChildThatWritesAndSyncs32MiBHasTheStorageBytes) {
  if (access("/proc/self/io", R_OK) != 0) GTEST_SKIP() << "/proc/self/io is unreadable here";
  std::string path = ::testing::TempDir() + "procinfo_io_XXXXXX";
  const int fd = mkstemp(path.data());
  ASSERT_GE(fd, 0);
  Child child = Child::fork([fd] {
    static char chunk[1 << 20];
    std::memset(chunk, 7, sizeof chunk);
    for (int i = 0; i < 32; ++i) {
      if (write(fd, chunk, sizeof chunk) != static_cast<ssize_t>(sizeof chunk)) _exit(1);
    }
    if (fsync(fd) != 0) _exit(1);
  });
  close(fd);
  unlink(path.c_str());
  ASSERT_GT(child.pid(), 0);
  source.refresh_processes_specifics(ALL);
  const ProcessInfo* info = find(child.upid());
  ASSERT_NE(info, nullptr);
  if (info->diskWrittenBytes == 0) GTEST_SKIP() << "the temporary directory is not on a storage device";
  EXPECT_GE(info->diskWrittenBytes, 32 * MIB);
}

TEST_F(LinuxPlatformTest, StoppedChildReadsStopAndUnreapedChildReadsZombie) {
  Child stopped = Child::spawn({"/bin/sleep", "30"});
  Child zombie = Child::spawn({"/bin/true"});
  ASSERT_GT(stopped.pid(), 0);
  ASSERT_GT(zombie.pid(), 0);
  source.refresh_processes_specifics(ALL);
  ASSERT_EQ(kill(stopped.pid(), SIGSTOP), 0);
  int status = 0;
  ASSERT_EQ(waitpid(stopped.pid(), &status, WUNTRACED), stopped.pid());
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(zombie.pid()), &info, WEXITED | WNOWAIT), 0);

  source.refresh_processes_specifics(ALL);
  ASSERT_NE(find(stopped.upid()), nullptr);
  ASSERT_NE(find(zombie.upid()), nullptr);
  EXPECT_EQ(statusText(reportedStatus(*find(stopped.upid()))), "Stop");
  EXPECT_EQ(statusText(reportedStatus(*find(zombie.upid()))), "Zombie");
  EXPECT_EQ(find(zombie.upid())->name, "true") << "a zombie keeps its short name";
  kill(stopped.pid(), SIGCONT);
  // Woken by the signal, the child runs for a moment before it sleeps again.
  source.refresh_processes_specifics(ALL);
  for (int i = 0; i < 200 && statusText(reportedStatus(*find(stopped.upid()))) == "Run"; ++i) {
    clock.sleepFor(milliseconds(10));
    source.refresh_processes_specifics(ALL);
  }
  EXPECT_EQ(statusText(reportedStatus(*find(stopped.upid()))), "Sleep") << "the status follows the latest state";
  zombie.reap();
}

// The state letter of a stat file of /proc, or 0 when it cannot be read.
char stateLetterIn(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  const std::optional<ProcStat> stat = parseProcStat(line);
  return stat ? stat->state : '\0';
}

char stateLetter(pid_t pid) { return stateLetterIn("/proc/" + std::to_string(pid) + "/stat"); }

// The state letters of a process's threads other than its leader, those
// that have not ended.
std::string liveThreadStates(pid_t pid) {
  std::string states;
  std::error_code error;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& entry : std::filesystem::directory_iterator(tasks, error)) {
    if (entry.path().filename() == std::to_string(pid)) continue;
    const char letter = stateLetterIn((entry.path() / "stat").string());
    if (letter != '\0' && letter != 'Z' && letter != 'X') states += letter;
  }
  return states;
}

void* spinAfterTouching64MiB(void* ready) {
  void* block = mmap(nullptr, 64 * MIB, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) _exit(1);
  std::memset(block, 1, 64 * MIB);
  const char done = 'x';
  if (write(static_cast<int>(reinterpret_cast<std::intptr_t>(ready)), &done, 1) != 1) _exit(1);
  volatile std::uint64_t spins = 0;
  for (;;) spins = spins + 1;
  return nullptr;
}

TEST_F(LinuxPlatformTest, AProcessWhoseMainThreadHasExitedIsReportedFromALiveThread) {
  // A forked child whose main thread exits while a second thread, holding
  // 64 MiB, spins on. Its leader then reads as a zombie. The main thread
  // ends by the thread's own exit call, as pthread_exit does in the end:
  // pthread_exit itself would unwind through the test framework, which
  // catches the unwinding and aborts.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    pthread_t spinner;
    void* const fd = reinterpret_cast<void*>(static_cast<std::intptr_t>(ready[1]));
    if (pthread_create(&spinner, nullptr, spinAfterTouching64MiB, fd) != 0) _exit(1);
    syscall(SYS_exit, 0);
  }
  Child child(pid);
  ASSERT_GT(child.pid(), 0);
  close(ready[1]);
  char done = 0;
  ASSERT_EQ(read(ready[0], &done, 1), 1);
  close(ready[0]);
  const auto deadline = clock.monotonicNow() + seconds(10);
  while (stateLetter(child.pid()) != 'Z' && clock.monotonicNow() < deadline) clock.sleepFor(milliseconds(5));
  ASSERT_EQ(stateLetter(child.pid()), 'Z') << "the main thread has exited";

  std::string ownArguments;
  {
    std::ifstream self("/proc/self/cmdline");
    std::getline(self, ownArguments, '\0');
  }
  source.refresh_processes_specifics(ALL);
  ASSERT_NE(find(child.upid()), nullptr);
  const std::uint64_t firstTime = find(child.upid())->accumulatedCpuTime;
  clock.sleepFor(milliseconds(500));
  source.refresh_processes_specifics(ALL);
  const ProcessInfo* info = find(child.upid());
  ASSERT_NE(info, nullptr);
  // The spinner is the child's only other thread, and it runs. A runtime
  // may start a thread of its own in the child (ThreadSanitizer does, at the
  // first thread created), which mostly sleeps; whichever of the two was
  // found stands for the process, and only "Zombie" would be wrong.
  const std::string others = liveThreadStates(child.pid());
  if (others.size() == 1) {
    EXPECT_EQ(statusText(reportedStatus(*info)), "Run");
  } else {
    EXPECT_NE(statusText(reportedStatus(*info)), "Zombie") << "live threads' states: " << others;
  }
  EXPECT_GE(info->residentMemory, 64 * MIB);
  EXPECT_GE(info->virtualMemory, info->residentMemory);
  ASSERT_FALSE(info->commandLine.empty());
  EXPECT_EQ(info->commandLine.front(), ownArguments) << "the command line of the live thread";
  EXPECT_EQ(info->name, std::filesystem::path(ownArguments).filename().string());
  EXPECT_GT(info->accumulatedCpuTime, firstTime) << "the spinning thread's time counts";
  EXPECT_GT(info->cpuUsage, 0.0F);

  // Once the whole process has exited, unreaped, it is a zombie.
  ASSERT_EQ(kill(child.pid(), SIGKILL), 0);
  siginfo_t exited{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child.pid()), &exited, WEXITED | WNOWAIT), 0);
  source.refresh_processes_specifics(ALL);
  ASSERT_NE(find(child.upid()), nullptr);
  EXPECT_EQ(statusText(reportedStatus(*find(child.upid()))), "Zombie");
}

TEST_F(LinuxPlatformTest, NamesWithSpacesAndParenthesesAreParsedRight) {
  // An executable whose file name holds spaces and parentheses...
  // (in a folder of its own, so that runs side by side never share the file).
  std::string folder = (std::filesystem::path(::testing::TempDir()) / "names-XXXXXX").string();
  ASSERT_NE(mkdtemp(folder.data()), nullptr) << std::strerror(errno);
  const std::filesystem::path copy = std::filesystem::path(folder) / "sl (ee) p) x";
  std::error_code error;
  std::filesystem::copy_file("/bin/sleep", copy, std::filesystem::copy_options::overwrite_existing, error);
  ASSERT_FALSE(error) << error.message();
  chmod(copy.c_str(), 0755);
  Child named = Child::spawn({copy.string(), "30"});
  // ... and a process that renames itself to something that looks like
  // stat fields.
  Child renamed = Child::fork([] { prctl(PR_SET_NAME, "x) R 1 (y"); });
  ASSERT_GT(named.pid(), 0);
  ASSERT_GT(renamed.pid(), 0);
  // The exec is done once the child's command line is the copy's.
  const std::string cmdlinePath = "/proc/" + std::to_string(named.pid()) + "/cmdline";
  const auto deadline = clock.monotonicNow() + seconds(10);
  for (std::string first; first != copy.string() && clock.monotonicNow() < deadline;) {
    clock.sleepFor(milliseconds(2));
    std::ifstream cmdline(cmdlinePath);
    first.clear();
    std::getline(cmdline, first, '\0');
  }

  source.refresh_processes_specifics(ALL);
  std::filesystem::remove_all(folder, error);
  const ProcessInfo* info = find(named.upid());
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->name, "sl (ee) p) x");
  EXPECT_EQ(info->parentPid, static_cast<std::uint32_t>(getpid()));
  EXPECT_THAT(info->commandLine, ::testing::ElementsAre(copy.string(), "30"));
  const ProcessInfo* self = find(renamed.upid());
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self->parentPid, static_cast<std::uint32_t>(getpid()));
  EXPECT_EQ(statusText(reportedStatus(*self)), "Sleep");
  const auto start = find(static_cast<std::uint32_t>(getpid()))->startTime;
  EXPECT_GE(self->startTime, start);
}

// The kernel marks the exe link of a deleted executable with " (deleted)";
// a file may be named so too. Each keeps the name it really has.
TEST_F(LinuxPlatformTest, ADeletedExecutableAndAFileNamedDeletedKeepTheirOwnNames) {
  std::string folder = (std::filesystem::path(::testing::TempDir()) / "deleted-XXXXXX").string();
  ASSERT_NE(mkdtemp(folder.data()), nullptr) << std::strerror(errno);
  const std::filesystem::path named = std::filesystem::path(folder) / "real (deleted)";
  const std::filesystem::path gone = std::filesystem::path(folder) / "gone";
  std::error_code error;
  for (const auto& path : {named, gone}) {
    std::filesystem::copy_file("/bin/sleep", path, std::filesystem::copy_options::overwrite_existing, error);
    ASSERT_FALSE(error) << error.message();
    chmod(path.c_str(), 0755);
  }
  Child namedChild = Child::spawn({named.string(), "30"});
  Child goneChild = Child::spawn({gone.string(), "30"});
  ASSERT_GT(namedChild.pid(), 0);
  ASSERT_GT(goneChild.pid(), 0);
  // Both have exec'd once their exe links name the copies.
  const auto deadline = clock.monotonicNow() + seconds(10);
  const auto linkOf = [](pid_t pid) {
    std::error_code ignored;
    return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ignored).string();
  };
  while ((linkOf(namedChild.pid()) != named.string() || linkOf(goneChild.pid()) != gone.string()) &&
         clock.monotonicNow() < deadline) {
    clock.sleepFor(milliseconds(2));
  }
  std::filesystem::remove(gone, error);
  ASSERT_EQ(linkOf(goneChild.pid()), gone.string() + " (deleted)");

  source.refresh_processes_specifics(ALL);
  std::filesystem::remove_all(folder, error);
  ASSERT_NE(find(namedChild.upid()), nullptr);
  ASSERT_NE(find(goneChild.upid()), nullptr);
  EXPECT_EQ(find(namedChild.upid())->name, "real (deleted)");
  EXPECT_EQ(find(goneChild.upid())->name, "gone");
}

TEST_F(LinuxPlatformTest, KernelThreadsAreListedWithTheirShortNames) {
  source.refresh_processes_specifics(ALL);
  const ProcessInfo* kthreadd = find(2);
  if (kthreadd == nullptr || kthreadd->name != "kthreadd") GTEST_SKIP() << "no kernel threads visible here";
  std::size_t threads = 0;
  std::size_t withSlash = 0;
  for (const auto& [pid, info] : source.processes()) {
    if (info.parentPid != 2U) continue;
    ++threads;
    EXPECT_FALSE(info.name.empty()) << "pid " << pid;
    EXPECT_TRUE(info.commandLine.empty()) << "pid " << pid;
    EXPECT_EQ(info.residentMemory, 0U) << "pid " << pid;
    if (info.name.find('/') != std::string::npos) ++withSlash;
    // A worker thread's name changes with the work it picks up; the others
    // keep theirs.
    if (info.name.rfind("kworker", 0) == 0) continue;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string expected;
    if (!std::getline(comm, expected)) continue;  // ended meanwhile
    EXPECT_EQ(info.name, expected) << "pid " << pid;
  }
  EXPECT_GT(threads, 0U);
  EXPECT_GT(withSlash, 0U) << "short names are taken whole, '/' included";
}

TEST_F(LinuxPlatformTest, ProcessorCountersAdvanceAtWallClockRate) {
  LinuxPlatform proc(clock);
  std::vector<ProcessorTicks> before;
  std::vector<ProcessorTicks> after;
  ASSERT_TRUE(proc.processorTicks(before));
  clock.sleepFor(seconds(1));
  ASSERT_TRUE(proc.processorTicks(after));
  ASSERT_EQ(before.size(), after.size());
  double total = 0;
  for (std::size_t i = 0; i < before.size(); ++i) {
    total += after[i].user - before[i].user + after[i].system - before[i].system + after[i].idle -
             before[i].idle + after[i].nice - before[i].nice;
  }
  const double perProcessor = total / static_cast<double>(before.size()) / static_cast<double>(proc.clockTicksPerSecond());
  EXPECT_GT(perProcessor, 0.6);
  EXPECT_LT(perProcessor, 1.4);
  EXPECT_GT(proc.bootInstant().count(), 0);
}

TEST(LinuxPlatformWithoutProcTest, AMissingProcGivesAFailedListing) {
  SystemClock clock;
  LinuxPlatform platform(clock, "/nonexistent-proc-root");
  std::vector<std::uint32_t> pids;
  EXPECT_FALSE(platform.listPids(pids));
  EXPECT_FALSE(platform.basicInfo(1).has_value());
  auto source = ProcessInfoSource::new_with_specifics(platform);
  EXPECT_EQ(source.refresh_processes_specifics(ALL), 0U);
  EXPECT_TRUE(source.processes().empty());
}

}  // namespace
}  // namespace sidecar::procinfo
