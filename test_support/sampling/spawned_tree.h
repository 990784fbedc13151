// Test support: a process tree started by a shell script on the real system,
// ended and reaped by pid when it goes out of scope. Used by the system
// tests and the sampling benchmark; header-only, not part of the library.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace sidecar::sampling::testing {

/// A spawned process tree, killed and reaped by pid when it goes out of
/// scope. The root prints the pids of its descendants, one per line.
class SpawnedTree {
 public:
  explicit SpawnedTree(const char* script) {
    std::array<int, 2> fds{};
    if (pipe(fds.data()) != 0) {
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    std::string sh = "/bin/sh";
    std::string dashC = "-c";
    std::string body = script;
    std::array<char*, 4> argv = {sh.data(), dashC.data(), body.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv.data(), environ) == 0) {
      root_ = pid;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    output_ = fdopen(fds[0], "r");
  }

  ~SpawnedTree() {
    for (auto it = descendants_.rbegin(); it != descendants_.rend(); ++it) {
      kill(*it, SIGKILL);
    }
    if (root_ > 0) {
      kill(root_, SIGKILL);
      int status = 0;
      waitpid(root_, &status, 0);
    }
    if (output_ != nullptr) {
      fclose(output_);
    }
  }
  SpawnedTree(const SpawnedTree&) = delete;
  SpawnedTree& operator=(const SpawnedTree&) = delete;

  /// Reads `count` descendant pids from the root's output.
  bool readDescendants(std::size_t count) {
    unsigned long pid = 0;
    while (descendants_.size() < count && output_ != nullptr && std::fscanf(output_, "%lu", &pid) == 1) {
      descendants_.push_back(static_cast<pid_t>(pid));
    }
    return descendants_.size() == count;
  }

  pid_t root() const { return root_; }
  const std::vector<pid_t>& descendants() const { return descendants_; }

 private:
  pid_t root_ = -1;
  std::vector<pid_t> descendants_;
  std::FILE* output_ = nullptr;
};

}  // namespace sidecar::sampling::testing
