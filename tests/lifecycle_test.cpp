// The sidecar's start and end as a parent sees them: the greeting, the end of
// input, shutdown, and the failure end when its output goes away.
#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <string>

#include "sidecar_child.h"

namespace sidecar::e2e {
namespace {

// The platform and architecture names this machine should report.
std::string expectedPlatform() {
  utsname names{};
  uname(&names);
  const std::string system = names.sysname;
  return system == "Darwin" ? "macos" : system == "Linux" ? "linux" : system;
}

std::string expectedArch() {
  utsname names{};
  uname(&names);
  const std::string machine = names.machine;
  return machine == "arm64" ? "aarch64" : machine;
}

std::string expectedGreeting(pid_t pid) {
  return R"({"version":3,"type":"hello","sidecarVersion":"0.1.0","sidecarPid":)" + std::to_string(pid) +
         R"(,"platform":")" + expectedPlatform() + R"(","arch":")" + expectedArch() +
         R"(","capabilities":{"cumulativeCpuTime":true,"currentCpuPercent":true,"residentMemory":true,)"
         R"("virtualMemory":true,"ioBytes":true,"processStartTime":true,"processTree":true}})";
}

// Reads the rest of standard output; fails the test if it does not end.
std::string restOfOutput(SidecarChild& child) {
  std::string rest;
  while (std::optional<std::string> line = child.readLine()) {
    rest += *line + "\n";
  }
  EXPECT_TRUE(child.outputEnded()) << "standard output did not end in time";
  return rest + child.pendingOutput();
}

TEST(Lifecycle, InputClosedAtOnceGivesTheGreetingOnlyAndStatusZero) {
  SidecarChild child;
  ASSERT_EQ(child.startError(), "");
  child.closeInput();
  EXPECT_EQ(child.readLine(), expectedGreeting(child.pid()));
  EXPECT_EQ(restOfOutput(child), "");
  EXPECT_EQ(child.readErrorToEnd(), "");
  EXPECT_EQ(child.waitForExit(), 0);
}

TEST(Lifecycle, AClosedStandardInputAtStartCountsAsEndOfInput) {
  SidecarChild::Options options;
  options.closeStdin = true;
  SidecarChild child(options);
  ASSERT_EQ(child.startError(), "");
  EXPECT_EQ(child.readLine(), expectedGreeting(child.pid()));
  EXPECT_EQ(restOfOutput(child), "");
  EXPECT_EQ(child.waitForExit(), 0);
}

TEST(Lifecycle, ShutdownEndsTheRunAndTheCommandsBehindItAreNotAnswered) {
  SidecarChild child;
  ASSERT_EQ(child.startError(), "");
  ASSERT_TRUE(child.readLine());
  // Input stays open: only the shutdown can end the run.
  ASSERT_TRUE(child.write(R"({"version":3,"type":"shutdown"})" "\n"
                          R"({"version":3,"type":"sampleNow","requestId":"late"})" "\n"
                          R"({"version":3,"type":"processTable","requestId":"late"})" "\n"));
  EXPECT_EQ(restOfOutput(child), "");
  EXPECT_EQ(child.waitForExit(), 0);
  EXPECT_EQ(child.readErrorToEnd(), "");
}

TEST(Lifecycle, AShutdownOfAnotherVersionIsAnsweredAndTheSessionGoesOn) {
  SidecarChild child;
  ASSERT_EQ(child.startError(), "");
  ASSERT_TRUE(child.readLine());
  ASSERT_TRUE(child.write(R"({"version":2,"type":"shutdown"})" "\n"));
  EXPECT_EQ(child.readLine(), R"({"version":3,"type":"error","code":"protocol-mismatch",)"
                              R"("message":"unsupported protocol version 2; expected 3","recoverable":false})");
  ASSERT_TRUE(child.write(R"({"version":3,"type":"sampleNow","requestId":"s"})" "\n"));
  EXPECT_EQ(child.readLine(), R"({"version":3,"type":"error","code":"not-configured",)"
                              R"("message":"configure must be sent before sampling","recoverable":true})");
  child.closeInput();
  EXPECT_EQ(restOfOutput(child), "");
  EXPECT_EQ(child.waitForExit(), 0);
}

TEST(Lifecycle, ClosingTheOutputWhileStreamingEndsWithStatusOneAndABrokenPipe) {
  SidecarChild child;
  ASSERT_EQ(child.startError(), "");
  ASSERT_TRUE(child.readLine());
  child.closeOutput();
  // Input stays open: the failed snapshot write alone must end the run.
  ASSERT_TRUE(child.write(R"({"version":3,"type":"setStreaming","enabled":true})" "\n"
                          R"({"version":3,"type":"configure","rootPid":1,"sampleIntervalMs":250})" "\n"));
  EXPECT_EQ(child.waitForExit(), 1);
  const std::string error = child.readErrorToEnd();
  EXPECT_EQ(error.rfind("Error: ", 0), 0U) << error;
  EXPECT_NE(error.find("roken pipe"), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), error.size() - 1) << "exactly one line: " << error;
}

}  // namespace
}  // namespace sidecar::e2e
