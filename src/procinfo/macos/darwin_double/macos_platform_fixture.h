// The fixture of the macOS backend's tests: a fresh double of the Darwin
// kernel for each test, and no wrong use of it at the end.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "procinfo/fake/fake_clock.h"
#include "procinfo/macos/darwin_double/darwin_double.h"

namespace sidecar::procinfo {

class MacosPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { darwin_double::reset(); }
  void TearDown() override { EXPECT_THAT(kernel.misuse, ::testing::IsEmpty()); }

  darwin_double::Process& add(int pid, darwin_double::Process process) {
    return kernel.processes[pid] = std::move(process);
  }
  /// An ordinary process (see darwin_double::ordinaryProcess), parent 1.
  darwin_double::Process& add(int pid, const std::string& name, const std::vector<std::string>& arguments = {}) {
    return add(pid, darwin_double::ordinaryProcess(1, 1000, name, arguments));
  }

  darwin_double::Kernel& kernel = darwin_double::kernel();
  FakeClock clock;
};

}  // namespace sidecar::procinfo
