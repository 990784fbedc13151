// A child process for the tests of the Linux backend: spawned or forked by
// the test, killed and reaped by pid when it goes out of scope. Test code
// only; one thread.
#pragma once

#include <linux/sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace sidecar::procinfo {

// A child process of the test; killed and reaped by pid when it goes out of
// scope (unless reaped already).
class Child {
 public:
  Child() = default;
  explicit Child(pid_t pid) : pid_(pid) {}
  Child(Child&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}
  Child& operator=(Child&&) = delete;
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  std::uint32_t upid() const { return static_cast<std::uint32_t>(pid_); }
  void reap() {
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  static Child spawn(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return Child();
    return Child(pid);
  }

  // Starts `argv` as a child with exactly the pid `pid` (clone3 with
  // set_tid, which needs privilege); an empty Child when the system refuses,
  // with the reason in `error`.
  static Child spawnWithPid(pid_t pid, const std::vector<std::string>& argv, int& error) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t wanted = pid;
    clone_args clone{};
    clone.exit_signal = SIGCHLD;
    clone.set_tid = reinterpret_cast<std::uint64_t>(&wanted);
    clone.set_tid_size = 1;
    const long got = syscall(SYS_clone3, &clone, sizeof clone);
    error = got < 0 ? errno : 0;
    if (got == 0) {
      execve(args[0], args.data(), environ);
      _exit(127);
    }
    return got > 0 ? Child(static_cast<pid_t>(got)) : Child();
  }

  // Forks a child that runs `body` and then waits for its end; returns once
  // the body has finished (it reports so through a pipe).
  template <typename Body>
  static Child fork(Body body) {
    int ready[2];
    if (pipe(ready) != 0) return Child();
    const pid_t pid = ::fork();
    if (pid == 0) {
      close(ready[0]);
      body();
      const char done = 'x';
      if (write(ready[1], &done, 1) != 1) _exit(1);
      for (;;) pause();
    }
    close(ready[1]);
    char done = 0;
    const bool ok = pid > 0 && read(ready[0], &done, 1) == 1;
    close(ready[0]);
    Child child(pid);
    if (!ok) child.reap();
    return child;
  }

 private:
  pid_t pid_ = -1;
};

}  // namespace sidecar::procinfo
