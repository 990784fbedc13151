// The whole run in a forked child of the test, with the child's standard
// streams on pipes: the start-up refusal when no descriptor is free.
#include "session/run_sidecar.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace sidecar::session {
namespace {

std::string readAll(int fd) {
  std::string text;
  char chunk[4096];
  for (ssize_t got = read(fd, chunk, sizeof chunk); got > 0; got = read(fd, chunk, sizeof chunk)) {
    text.append(chunk, static_cast<std::size_t>(got));
  }
  return text;
}

// Reading processes needs one descriptor at a time beside the standard
// streams. A parent that leaves every other one taken gets a refusal, not a
// session whose every table is empty.
TEST(RunSidecarTest, RefusesToStartWhenNoDescriptorIsFree) {
#ifdef SIDECAR_SANITIZED
  GTEST_SKIP() << "a sanitizer's own checks need descriptors that this test takes away";
#endif
  int output[2];
  int errors[2];
  ASSERT_EQ(pipe(output), 0);
  ASSERT_EQ(pipe(errors), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const int nothing = open("/dev/null", O_RDONLY);
    if (nothing < 0 || dup2(nothing, STDIN_FILENO) < 0 || dup2(output[1], STDOUT_FILENO) < 0 ||
        dup2(errors[1], STDERR_FILENO) < 0) {
      _exit(90);
    }
    const rlimit limit{64, 64};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(91);
    while (dup(STDIN_FILENO) >= 0) {
    }
    _exit(runSidecar());
  }
  close(output[1]);
  close(errors[1]);
  const std::string written = readAll(output[0]);
  const std::string diagnostic = readAll(errors[0]);
  close(output[0]);
  close(errors[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(written, "") << "no greeting";
  EXPECT_EQ(diagnostic,
            "Error: no file descriptor is free under the open-file limit of 64; the sidecar needs one beside "
            "standard input, output and error\n");
}

}  // namespace
}  // namespace sidecar::session
