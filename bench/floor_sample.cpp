// The floor for one sample: the least work any /proc-based monitor must do to
// take the sample the sidecar takes. One pass lists /proc, reads /proc/stat
// once (processor ticks), and for every pid opens and reads /proc/PID/stat,
// /proc/PID/io and /proc/PID/cmdline; the /proc/PID/exe link is read once per
// pid, the first time the pid is seen. Nothing is parsed, kept or written:
// whatever a real monitor does beyond this is its own overhead.
//
// With --keep-open it tries the way past that floor: the three files of a
// pid stay open from one pass to the next and are read again with pread at
// offset 0. A descriptor keeps pointing at the process it was opened for, so
// once that process has gone (even if its pid is reused) the read fails and
// the pid's files are closed and opened afresh. Three descriptors per process
// must fit under the open-file limit, which is raised to its hard maximum.
//
// With --stat-only (which keeps files open too) only /proc/PID/stat is read:
// the floor of a sample that needs every process's parent, start and CPU
// ticks but the command line and storage counters of a few watched ones,
// whose reads it leaves out.
//
// With --list-only nothing is read but the listing of /proc, with getdents64
// into a 256 KiB buffer: the floor of a sample that reads only the watched
// processes and must still list every process to notice new ones.
//
// bench/compare drives it as a child over pipes; it also runs by hand.
//   floor_sample [--keep-open | --stat-only | --list-only]   reads commands from standard
//                              input, one a line:
//                              pass          one pass; answers "MICROS PIDS"
//                              loop K MS     K times: a pass, then a sleep of
//                                            MS milliseconds; answers "done"
//   floor_sample [--keep-open | --stat-only] --passes K   K passes, one
//                              "MICROS PIDS" line each
//
// Single-threaded; the FloorSampler owns the /proc directory handle, the read
// buffer, the set of pids seen so far and, with --keep-open, the open files.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Descriptor() { reset(); }
  int get() const { return fd_; }

 private:
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  int fd_;
};

// The files of one pid kept open between passes (--keep-open).
struct OpenFiles {
  Descriptor stat;
  Descriptor io;
  Descriptor cmdline;
  bool seen = false;
};

struct PassResult {
  std::int64_t micros = 0;
  std::size_t pids = 0;
};

class FloorSampler {
 public:
  FloorSampler(bool keepOpen, bool statOnly, bool listOnly)
      : proc_(opendir("/proc")),
        buffer_(BUFFER_SIZE),
        keepOpen_(keepOpen || statOnly),
        statOnly_(statOnly),
        listOnly_(listOnly) {
    if (proc_) procFd_ = dirfd(proc_.get());
  }

  bool usable() const { return procFd_ >= 0; }

  PassResult pass() {
    const Clock::time_point start = Clock::now();
    if (listOnly_) {
      listWithGetdents();
      const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
      return PassResult{elapsed.count(), pids_.size()};
    }
    listPids();
    drain("stat");
    for (const std::uint32_t pid : pids_) {
      if (keepOpen_) {
        readKeptOpen(pid);
      } else {
        drain(pidPath(pid, "stat"));
        drain(pidPath(pid, "io"));
        drain(pidPath(pid, "cmdline"));
      }
      if (seen_.insert(pid).second) {
        char link[4096];
        [[maybe_unused]] const ssize_t length = readlinkat(procFd_, pidPath(pid, "exe"), link, sizeof link);
      }
    }
    if (keepOpen_) closeUnseen();
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
    return PassResult{elapsed.count(), pids_.size()};
  }

 private:
  static constexpr std::size_t BUFFER_SIZE = 65536;
  static constexpr std::size_t LIST_BUFFER_SIZE = 256 * 1024;

  void listPids() {
    pids_.clear();
    rewinddir(proc_.get());
    while (const dirent* entry = readdir(proc_.get())) {
      const char* name = entry->d_name;
      if (name[0] < '1' || name[0] > '9') continue;
      std::uint32_t pid = 0;
      const char* end = name + std::strlen(name);
      const auto [last, error] = std::from_chars(name, end, pid);
      if (error == std::errc() && last == end) pids_.push_back(pid);
    }
  }

  // The listing alone: getdents64 on /proc into one large buffer.
  void listWithGetdents() {
    pids_.clear();
    if (listBuffer_.empty()) listBuffer_.resize(LIST_BUFFER_SIZE);
    lseek(procFd_, 0, SEEK_SET);
    for (;;) {
      const long got = syscall(SYS_getdents64, procFd_, listBuffer_.data(), listBuffer_.size());
      if (got <= 0) return;
      for (long at = 0; at < got;) {
        // struct linux_dirent64: d_ino (8), d_off (8), d_reclen (2), d_type (1), d_name.
        unsigned short length = 0;
        std::memcpy(&length, listBuffer_.data() + at + 16, sizeof length);
        const char* name = listBuffer_.data() + at + 19;
        at += length;
        if (name[0] < '1' || name[0] > '9') continue;
        std::uint32_t pid = 0;
        const char* end = name + std::strlen(name);
        const auto [last, error] = std::from_chars(name, end, pid);
        if (error == std::errc() && last == end) pids_.push_back(pid);
      }
    }
  }

  const char* pidPath(std::uint32_t pid, std::string_view leaf) {
    char* end = std::to_chars(path_, path_ + 16, pid).ptr;
    *end++ = '/';
    std::memcpy(end, leaf.data(), leaf.size());
    end[leaf.size()] = '\0';
    return path_;
  }

  // Opens one file under /proc and reads it to its end.
  void drain(const char* relative) {
    const Descriptor fd(openat(procFd_, relative, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return;
    readToEnd(fd.get());
  }

  // Reads an open file from offset 0 to its end; false when the read fails
  // (for a /proc file: its process has gone).
  bool readToEnd(int fd) {
    off_t offset = 0;
    for (;;) {
      const ssize_t got = pread(fd, buffer_.data(), buffer_.size(), offset);
      if (got > 0) {
        offset += got;
      } else if (got == 0) {
        return true;
      } else if (errno != EINTR) {
        return false;
      }
    }
  }

  Descriptor openPidFile(std::uint32_t pid, std::string_view leaf) {
    return Descriptor(openat(procFd_, pidPath(pid, leaf), O_RDONLY | O_CLOEXEC));
  }

  // --keep-open: reads the pid's three files through descriptors opened in
  // an earlier pass; a failed read means another process now has the pid
  // (or none has), so its files are opened afresh and read once more.
  void readKeptOpen(std::uint32_t pid) {
    auto [entry, added] = open_.try_emplace(pid);
    OpenFiles& files = entry->second;
    files.seen = true;
    if (statOnly_) {
      if (added || !readToEnd(files.stat.get())) {
        files.stat = openPidFile(pid, "stat");
        readToEnd(files.stat.get());
      }
      return;
    }
    if (!added && readToEnd(files.stat.get()) && readToEnd(files.io.get()) && readToEnd(files.cmdline.get())) {
      return;
    }
    files.stat = openPidFile(pid, "stat");
    files.io = openPidFile(pid, "io");
    files.cmdline = openPidFile(pid, "cmdline");
    readToEnd(files.stat.get());
    readToEnd(files.io.get());
    readToEnd(files.cmdline.get());
  }

  void closeUnseen() {
    for (auto entry = open_.begin(); entry != open_.end();) {
      if (entry->second.seen) {
        entry->second.seen = false;
        ++entry;
      } else {
        entry = open_.erase(entry);
      }
    }
  }

  std::unique_ptr<DIR, DirCloser> proc_;
  int procFd_ = -1;
  std::vector<char> buffer_;
  std::vector<std::uint32_t> pids_;
  std::unordered_set<std::uint32_t> seen_;
  bool keepOpen_;
  bool statOnly_;
  bool listOnly_;
  std::vector<char> listBuffer_;
  std::unordered_map<std::uint32_t, OpenFiles> open_;
  char path_[64] = {};
};

// Three descriptors per process must fit: take the hard limit.
void raiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

std::optional<long> parseNumber(std::string_view text) {
  long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

void printPass(const PassResult& result) { std::printf("%lld %zu\n", static_cast<long long>(result.micros), result.pids); }

// "loop K MS": K periods of one pass followed by a sleep of MS milliseconds,
// like a monitor sampling at a fixed interval.
bool runLoop(FloorSampler& sampler, std::string_view arguments) {
  const std::size_t space = arguments.find(' ');
  if (space == std::string_view::npos) return false;
  const std::optional<long> count = parseNumber(arguments.substr(0, space));
  const std::optional<long> intervalMs = parseNumber(arguments.substr(space + 1));
  if (!count || !intervalMs) return false;
  for (long i = 0; i < *count; ++i) {
    sampler.pass();
    std::this_thread::sleep_for(std::chrono::milliseconds(*intervalMs));
  }
  std::printf("done\n");
  return true;
}

int serve(FloorSampler& sampler) {
  std::string line;
  while (std::getline(std::cin, line)) {
    const std::string_view command(line);
    if (command == "pass") {
      printPass(sampler.pass());
    } else if (command.starts_with("loop ")) {
      if (!runLoop(sampler, command.substr(5))) std::printf("error: loop K MS\n");
    } else {
      std::printf("error: unknown command\n");
    }
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> arguments(argv + 1, argv + argc);
  const bool keepOpen = !arguments.empty() && arguments.front() == "--keep-open";
  const bool statOnly = !arguments.empty() && arguments.front() == "--stat-only";
  const bool listOnly = !arguments.empty() && arguments.front() == "--list-only";
  if (keepOpen || statOnly) raiseOpenFileLimit();
  if (keepOpen || statOnly || listOnly) arguments.erase(arguments.begin());
  FloorSampler sampler(keepOpen, statOnly, listOnly);
  if (!sampler.usable()) {
    std::fprintf(stderr, "floor_sample: cannot open /proc\n");
    return 1;
  }
  if (arguments.size() == 2 && arguments[0] == "--passes") {
    const std::optional<long> passes = parseNumber(arguments[1]);
    if (!passes) return 2;
    for (long i = 0; i < *passes; ++i) printPass(sampler.pass());
    return 0;
  }
  if (!arguments.empty()) {
    std::fprintf(stderr, "usage: floor_sample [--keep-open | --stat-only | --list-only] [--passes K]\n");
    return 2;
  }
  return serve(sampler);
}
