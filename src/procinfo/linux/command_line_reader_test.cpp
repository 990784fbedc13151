// Reading the arguments of processes whose argument areas are far larger
// than the command text, against the real /proc of this machine: what is
// kept is exactly the start of the joined arguments, empty arguments do not
// stop the reading early, and the raw bound stops an area of padding.
#include "procinfo/linux/command_line_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "procinfo/argument_collector.h"
#include "procinfo/linux/linux_platform.h"
#include "procinfo/linux/proc_root.h"
#include "test_support/procinfo/test_child.h"

namespace sidecar::procinfo {
namespace {

constexpr std::size_t MIB = 1024 * 1024;

std::string joined(const std::vector<std::string>& arguments) {
  std::string text;
  for (const std::string& argument : arguments) {
    if (!text.empty()) text += ' ';
    text += argument;
  }
  return text;
}

std::string cmdlineOf(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// Starts `sh -c 'read x' sh ARGS...` with a stack limit large enough for
// the arguments; the shell waits on a pipe and keeps its command line.
// Returns a child with pid -1 when the system refuses so large an area.
class ShellWithArguments {
 public:
  explicit ShellWithArguments(const std::vector<std::string>& extra) {
    if (pipe2(input_, O_CLOEXEC) != 0) return;
    arguments_ = {"sh", "-c", "read x", "sh"};
    arguments_.insert(arguments_.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& argument : arguments_) argv.push_back(argument.data());
    argv.push_back(nullptr);
    char* envp[] = {nullptr};
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(input_[0], STDIN_FILENO);
      rlimit stack{};
      getrlimit(RLIMIT_STACK, &stack);
      stack.rlim_cur = stack.rlim_max == RLIM_INFINITY ? 64 * MIB : std::min<rlim_t>(stack.rlim_max, 64 * MIB);
      setrlimit(RLIMIT_STACK, &stack);
      execve("/bin/sh", argv.data(), envp);
      _exit(127);
    }
    child_.emplace(pid);
    close(input_[0]);
    input_[0] = -1;
    // Wait, with a deadline, until the shell shows its own command line.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (cmdlineOf(pid).rfind("sh", 0) != 0 || cmdlineOf(pid).find("read x") == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline || waitpid(pid, nullptr, WNOHANG) == pid) {
        started_ = false;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    started_ = true;
  }
  ~ShellWithArguments() {
    if (input_[1] >= 0) close(input_[1]);
  }

  bool started() const { return started_; }
  std::uint32_t pid() const { return child_ ? child_->upid() : 0; }
  /// The shell's non-empty arguments.
  std::vector<std::string> nonEmpty() const {
    std::vector<std::string> kept;
    for (const std::string& argument : arguments_) {
      if (!argument.empty()) kept.push_back(argument);
    }
    return kept;
  }

 private:
  int input_[2] = {-1, -1};
  std::vector<std::string> arguments_;
  std::optional<Child> child_;
  bool started_ = false;
};

TEST(CommandLineReaderTest, AnArgumentAreaOfMegabytesKeepsTheStartOfTheText) {
  // 40 arguments of 100 KiB (one may hold 128 KiB) with empty ones between:
  // about 4 MiB, which needs a stack limit of 16 MiB or more.
  std::vector<std::string> extra;
  for (int i = 0; i < 40; ++i) {
    extra.emplace_back(100 * 1024, static_cast<char>('a' + i % 26));
    extra.emplace_back();
  }
  ShellWithArguments shell(extra);
  if (!shell.started()) GTEST_SKIP() << "this system refused a process with 4 MiB of arguments (stack limit)";

  SystemClock clock;
  LinuxPlatform platform(clock);
  std::string name;
  std::vector<std::string> arguments = {"stale"};
  ASSERT_TRUE(platform.readNameAndArguments(shell.pid(), false, true, name, arguments));
  const std::string whole = joined(shell.nonEmpty());
  ASSERT_GT(whole.size(), 100 * COMMAND_LINE_KEPT_BYTES);
  EXPECT_EQ(joined(arguments), whole.substr(0, COMMAND_LINE_KEPT_BYTES));
}

TEST(CommandLineReaderTest, EmptyArgumentsDoNotStopTheReadingButTheRawBoundDoes) {
  struct Case {
    std::size_t empties;  // empty arguments before the one that counts
    bool seen;            // whether that one lies within the raw bound
  };
  // 40000 empty arguments fit the bound with the text; 300000 (300 kB of
  // NULs) do not, and what follows them is not read.
  for (const Case& c : {Case{40'000, true}, Case{300'000, false}}) {
    std::vector<std::string> extra(c.empties);
    extra.emplace_back("after-the-empty-ones");
    ShellWithArguments shell(extra);
    if (!shell.started()) GTEST_SKIP() << "this system refused a process with " << c.empties << " arguments";

    ProcRoot root("/proc");
    KeptOpenFiles files(root, 0);
    ReadBuffer buffer;
    CommandLineReader reader;
    std::vector<std::string> arguments;
    ASSERT_TRUE(reader.read(files, shell.pid(), buffer, arguments));
    const std::vector<std::string> head = {"sh", "-c", "read x", "sh"};
    EXPECT_EQ(arguments, c.seen ? shell.nonEmpty() : head) << c.empties;
    EXPECT_LE(buffer.capacity, COMMAND_LINE_READ_MAX_BYTES) << "read in pieces, not whole";

    // A bound given by the caller applies the same way.
    ASSERT_TRUE(reader.read(files, shell.pid(), buffer, arguments, 16 * 1024));
    EXPECT_EQ(arguments, head) << c.empties;
  }
}

// Only a privileged process can point its argument area at memory of its
// own choosing and make it larger than any exec allows.
TEST(CommandLineReaderTest, AnAreaLargerThanAnyExecAllowsIsReadNoFurtherThanTheBound) {
  constexpr std::size_t AREA = 16 * MIB;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  Child child = Child::fork([&] {
    char* area = static_cast<char*>(mmap(nullptr, AREA, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    char verdict = 'n';
    if (area != MAP_FAILED) {
      std::memcpy(area, "head", 5);
      std::memcpy(area + COMMAND_LINE_READ_MAX_BYTES - 7, "inside", 7);
      std::memcpy(area + COMMAND_LINE_READ_MAX_BYTES, "beyond", 7);
      const auto start = reinterpret_cast<unsigned long>(area);
      if (prctl(PR_SET_MM, PR_SET_MM_ARG_START, start, 0, 0) == 0 &&
          prctl(PR_SET_MM, PR_SET_MM_ARG_END, start + AREA, 0, 0) == 0) {
        verdict = 'y';
      }
    }
    if (write(ready[1], &verdict, 1) != 1) _exit(1);
  });
  close(ready[1]);
  char verdict = 'n';
  ASSERT_EQ(read(ready[0], &verdict, 1), 1);
  close(ready[0]);
  if (verdict != 'y') GTEST_SKIP() << "moving the argument area (prctl PR_SET_MM) needs CAP_SYS_RESOURCE";

  SystemClock clock;
  LinuxPlatform platform(clock);
  std::string name;
  std::vector<std::string> arguments;
  ASSERT_TRUE(platform.readNameAndArguments(child.upid(), false, true, name, arguments));
  EXPECT_EQ(arguments, (std::vector<std::string>{"head", "inside"}));
}

}  // namespace
}  // namespace sidecar::procinfo
