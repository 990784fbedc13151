// CPU usage of a process that was already running when a command named it:
// its baseline is read when the command is handled, so its first sample
// shows the usage since the command, not 0. The busy process is a child of
// this test that spins; the sidecar watches nothing else (the root does not
// exist), so nothing but the command brings the child into the watched set.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

#include "sidecar_child.h"

namespace sidecar::e2e {
namespace {

using namespace std::chrono_literals;

// A pid far above any pid_max in use, so that the root matches nothing.
constexpr const char* ABSENT_ROOT = "2147483000";

/// A child that spins on one processor until it is killed.
class BusyChild {
 public:
  BusyChild() {
    pid_ = fork();
    if (pid_ == 0) {
      volatile unsigned long spin = 0;
      for (;;) spin = spin + 1;
    }
  }
  BusyChild(const BusyChild&) = delete;
  BusyChild& operator=(const BusyChild&) = delete;
  ~BusyChild() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }

  /// Waits, with a deadline, until the child has used some CPU time: a
  /// process whose CPU time still reads 0 has no baseline to measure from.
  bool waitUntilBusy() const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
      std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
      const std::size_t close = text.rfind(')');
      if (close != std::string::npos) {
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        unsigned long long ticks = 0;
        for (int i = 0; i < 13 && fields >> field; ++i) {
          if (i >= 11) ticks += std::stoull(field);  // utime and stime
        }
        if (ticks >= 5) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

 private:
  pid_t pid_ = -1;
};

/// The cpuPercent of the sample of `pid` in a snapshot line; empty when the
/// line has no sample of it.
std::optional<double> cpuPercentOf(const std::string& line, pid_t pid) {
  const std::size_t sample = line.find("{\"pid\":" + std::to_string(pid) + ",");
  if (sample == std::string::npos) return std::nullopt;
  const std::string key = "\"cpuPercent\":";
  const std::size_t at = line.find(key, sample);
  if (at == std::string::npos) return std::nullopt;
  return std::stod(line.substr(at + key.size()));
}

struct Case {
  const char* what;
  /// Time between configure and setExternalProcesses.
  std::chrono::milliseconds gap;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.what; }

class NamedProcessCpu : public testing::TestWithParam<Case> {};

TEST_P(NamedProcessCpu, TheFirstSampleOfABusyProcessNamedAfterConfigureShowsItsUsage) {
  const Case& c = GetParam();
  BusyChild busy;
  ASSERT_GT(busy.pid(), 0);
  ASSERT_TRUE(busy.waitUntilBusy()) << "the child used no CPU time";
  SidecarChild child;
  ASSERT_EQ(child.startError(), "");
  ASSERT_TRUE(child.readLine()) << "no greeting";

  ASSERT_TRUE(child.write(std::string(R"({"version":3,"type":"configure","rootPid":)") + ABSENT_ROOT +
                          R"(,"sampleIntervalMs":0})" "\n"));
  if (c.gap > 0ms) std::this_thread::sleep_for(c.gap);
  std::string named = R"({"pid":)";
  named.append(std::to_string(busy.pid()));
  named.append("}");
  ASSERT_TRUE(child.write(R"({"version":3,"type":"setExternalProcesses","processes":[)" + named + "]}\n" +
                          R"({"version":3,"type":"sampleNow","requestId":"first"})" "\n"));
  const std::optional<std::string> line = child.readLine();
  ASSERT_TRUE(line) << "no snapshot";
  ASSERT_NE(line->find(R"("requestId":"first")"), std::string::npos) << line->substr(0, 300);
  const std::optional<double> cpu = cpuPercentOf(*line, busy.pid());
  ASSERT_TRUE(cpu.has_value()) << "the named process is not sampled: " << line->substr(0, 600);
  // Busy on one processor it reads about 100 on an idle machine, and as
  // little as its share of a loaded one (under 10 beside two busy loops per
  // processor); 0 would mean no baseline.
  EXPECT_GT(*cpu, 0.0) << line->substr(0, 600);
  EXPECT_LT(*cpu, 150.0) << line->substr(0, 600);

  child.closeInput();
  EXPECT_EQ(child.waitForExit(), 0);
}

INSTANTIATE_TEST_SUITE_P(Gaps, NamedProcessCpu,
                         testing::Values(Case{"at once", 0ms}, Case{"after a while", 300ms}),
                         [](const testing::TestParamInfo<Case>& info) {
                           return info.param.gap > std::chrono::milliseconds(0) ? "AfterAWhile" : "AtOnce";
                         });

}  // namespace
}  // namespace sidecar::e2e
