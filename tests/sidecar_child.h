// A sidecar started as a child process over three pipes, driven the way a
// parent application drives it. Every read and write waits with poll(2) up to
// a deadline, so a misbehaving child fails the test instead of hanging it; a
// child still running at the end is killed (by its pid) and reaped. One
// object per child, used by one test thread.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace sidecar::e2e {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

/// How long any single step of a test may take before it counts as hung.
inline constexpr std::chrono::seconds STEP_TIMEOUT{20};

class SidecarChild {
 public:
  struct Options {
    /// Start the child with its standard input closed instead of a pipe.
    bool closeStdin = false;
    /// The executable; empty: the one the build names in SIDECAR_BINARY.
    std::string binary;
  };

  SidecarChild() : SidecarChild(Options{}) {}

  explicit SidecarChild(Options options) {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    // A child that exits early must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    if (!makePipe(in) || !makePipe(out) || !makePipe(err)) {
      error_ = "pipe failed";
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.closeStdin) {
      posix_spawn_file_actions_addclose(&actions, STDIN_FILENO);
    } else {
      posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    }
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::string binary = options.binary;
#ifdef SIDECAR_BINARY
    if (binary.empty()) {
      binary = SIDECAR_BINARY;
    }
#endif
    char* argv[] = {binary.data(), nullptr};
    const int rc = posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    stderr_ = err[0];
    if (rc != 0) {
      pid_ = -1;
      error_ = "posix_spawn failed: " + std::to_string(rc);
      return;
    }
    if (options.closeStdin) {
      closeInput();
    }
    // Writes must never block past a deadline.
    fcntl(stdin_, F_SETFL, fcntl(stdin_, F_GETFL) | O_NONBLOCK);
  }

  SidecarChild(const SidecarChild&) = delete;
  SidecarChild& operator=(const SidecarChild&) = delete;

  ~SidecarChild() {
    if (pid_ > 0 && !status_) {
      kill(pid_, SIGKILL);
      int ignored = 0;
      waitpid(pid_, &ignored, 0);
    }
    closeFd(stdin_);
    closeFd(stdout_);
    closeFd(stderr_);
  }

  /// Empty when the child was started; otherwise what went wrong.
  const std::string& startError() const { return error_; }
  pid_t pid() const { return pid_; }

  /// Writes all of `bytes` to the child's standard input. False when the
  /// pipe is closed or the deadline passes first.
  bool write(std::string_view bytes, std::chrono::nanoseconds timeout = STEP_TIMEOUT) {
    const auto deadline = Clock::now() + timeout;
    while (!bytes.empty()) {
      const ssize_t n = ::write(stdin_, bytes.data(), bytes.size());
      if (n > 0) {
        bytes.remove_prefix(static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        return false;
      }
      if (!waitFor(stdin_, POLLOUT, deadline)) {
        return false;
      }
    }
    return true;
  }

  /// Closes the child's standard input: the end of the commands.
  void closeInput() { closeFd(stdin_); }
  /// Closes the read end of the child's standard output.
  void closeOutput() { closeFd(stdout_); }

  /// The next line of standard output without its line feed, or nothing when
  /// the output ends or the timeout passes first (see outputEnded()).
  std::optional<std::string> readLine(std::chrono::nanoseconds timeout = STEP_TIMEOUT) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      const std::size_t feed = outBuffer_.find('\n');
      if (feed != std::string::npos) {
        std::string line = outBuffer_.substr(0, feed);
        outBuffer_.erase(0, feed + 1);
        return line;
      }
      if (outEnded_ || !fill(stdout_, outBuffer_, outEnded_, deadline)) {
        return std::nullopt;
      }
    }
  }

  /// True once standard output has reached its end.
  bool outputEnded() const { return outEnded_; }
  /// Bytes read from standard output but not yet returned as a line.
  const std::string& pendingOutput() const { return outBuffer_; }

  /// Everything the child writes to standard error until it closes it.
  std::string readErrorToEnd(std::chrono::nanoseconds timeout = STEP_TIMEOUT) {
    const auto deadline = Clock::now() + timeout;
    while (!errEnded_ && fill(stderr_, errBuffer_, errEnded_, deadline)) {
    }
    return errBuffer_;
  }

  /// The exit status once the child has exited, or nothing if it is still
  /// running at the deadline (it is then killed). -1 when killed by a signal.
  std::optional<int> waitForExit(std::chrono::nanoseconds timeout = STEP_TIMEOUT) {
    if (status_) {
      return status_;
    }
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      int raw = 0;
      const pid_t got = waitpid(pid_, &raw, WNOHANG);
      if (got == pid_) {
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return status_;
      }
      if (got < 0 || Clock::now() >= deadline) {
        return std::nullopt;
      }
      std::this_thread::sleep_for(5ms);
    }
  }

 private:
  // A pipe whose ends are not inherited; the spawn dup2s the child's ends
  // onto 0, 1 and 2, which clears that flag for them.
  static bool makePipe(int fds[2]) {
    if (pipe(fds) != 0) {
      return false;
    }
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    return true;
  }

  static void closeFd(int& fd) {
    if (fd >= 0) {
      close(fd);
      fd = -1;
    }
  }

  static bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) {
        return false;
      }
      pollfd entry{fd, events, 0};
      const int ready = poll(&entry, 1, static_cast<int>(left.count()));
      if (ready > 0) {
        return true;
      }
      if (ready < 0 && errno != EINTR) {
        return false;
      }
    }
  }

  // Reads what is available into `buffer`; false on timeout. Sets `ended`
  // at the end of the stream.
  static bool fill(int fd, std::string& buffer, bool& ended, Clock::time_point deadline) {
    if (fd < 0) {
      ended = true;
      return true;
    }
    if (!waitFor(fd, POLLIN, deadline)) {
      return false;
    }
    char chunk[65536];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
      buffer.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      ended = true;
    }
    return true;
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
  std::string outBuffer_;
  std::string errBuffer_;
  bool outEnded_ = false;
  bool errEnded_ = false;
  std::optional<int> status_;
  std::string error_;
};

}  // namespace sidecar::e2e
