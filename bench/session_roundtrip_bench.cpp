// The running sidecar, measured from outside over pipes, the way a parent
// sees it:
//   - SetStreamingRoundTrip: setStreaming commands per second through the
//     reader thread, the channel and the command handling (goal: at least
//     100,000 per second). Each batch ends with a command that is answered,
//     so the batch is timed until every command in it has been handled.
//   - IdleCpu: CPU time a configured sidecar with nothing scheduled uses
//     over three seconds (goal: none; it blocks and never polls).
//   - ResidentMemoryAtStart: resident memory right after the greeting
//     (goal: under 4 MiB).
// The sidecar executable is taken from the SIDECAR_BINARY environment
// variable, or else from "sidecar" in the parent folder of this program
// (the build folder). Build the `sidecar` target first. The CPU and memory
// figures are read from /proc.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "../tests/sidecar_child.h"

namespace {

using sidecar::e2e::SidecarChild;

std::string findSidecar(const char* argv0) {
  if (const char* fromEnvironment = std::getenv("SIDECAR_BINARY")) {
    return fromEnvironment;
  }
  std::string self = argv0;
  const std::size_t slash = self.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : self.substr(0, slash);
  return folder + "/../sidecar";
}

SidecarChild::Options optionsFor(const std::string& binary) {
  SidecarChild::Options options;
  options.binary = binary;
  return options;
}

// Starts a sidecar and reads its greeting; reports the error on `state`.
bool start(benchmark::State& state, SidecarChild& child, const std::string& binary) {
  if (!child.startError().empty()) {
    state.SkipWithError(("cannot start " + binary + ": " + child.startError()).c_str());
    return false;
  }
  if (!child.readLine()) {
    state.SkipWithError(("no greeting from " + binary).c_str());
    return false;
  }
  return true;
}

// utime + stime of a process in clock ticks, from /proc/PID/stat.
std::optional<unsigned long long> cpuTicks(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) {
    return std::nullopt;
  }
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0;
  unsigned long long stime = 0;
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14) {
      utime = std::stoull(field);
    } else if (index == 15) {
      stime = std::stoull(field);
    }
  }
  return utime + stime;
}

// VmRSS of a process in KiB, from /proc/PID/status.
std::optional<unsigned long long> residentKib(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::stoull(line.substr(6));
    }
  }
  return std::nullopt;
}

const std::string SENTINEL = R"({"version":3,"type":"sampleNow","requestId":"end"})" "\n";

void SetStreamingRoundTrip(benchmark::State& state, const std::string& binary) {
  SidecarChild child(optionsFor(binary));
  if (!start(state, child, binary)) {
    return;
  }
  const auto batch = static_cast<int>(state.range(0));
  std::string input;
  for (int i = 0; i < batch; ++i) {
    input += i % 2 == 0 ? R"({"version":3,"type":"setStreaming","enabled":true})" "\n"
                        : R"({"version":3,"type":"setStreaming","enabled":false})" "\n";
  }
  // Unconfigured, sampleNow is answered at once with an error: the marker
  // that the whole batch has been handled.
  input += SENTINEL;
  for (auto _ : state) {
    if (!child.write(input) || !child.readLine()) {
      state.SkipWithError("the sidecar stopped answering");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * batch);
  child.closeInput();
  child.waitForExit();
}

void IdleCpu(benchmark::State& state, const std::string& binary) {
  SidecarChild child(optionsFor(binary));
  if (!start(state, child, binary)) {
    return;
  }
  // Configured, nothing scheduled; the answered sentinel shows the
  // configure (and its one refresh) is done before the measurement starts.
  const std::string configure =
      R"({"version":3,"type":"configure","rootPid":)" + std::to_string(getpid()) + R"(,"sampleIntervalMs":0})" "\n";
  if (!child.write(configure + R"({"version":2,"type":"shutdown"})" "\n") || !child.readLine()) {
    state.SkipWithError("the sidecar did not take the configuration");
    return;
  }
  unsigned long long ticks = 0;
  for (auto _ : state) {
    const std::optional<unsigned long long> before = cpuTicks(child.pid());
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const std::optional<unsigned long long> after = cpuTicks(child.pid());
    if (!before || !after) {
      state.SkipWithError("cannot read /proc/PID/stat");
      return;
    }
    ticks += *after - *before;
  }
  const double ticksPerSecond = static_cast<double>(sysconf(_SC_CLK_TCK));
  state.counters["idle_cpu_ms"] = 1000.0 * static_cast<double>(ticks) / ticksPerSecond;
  child.closeInput();
  child.waitForExit();
}

void ResidentMemoryAtStart(benchmark::State& state, const std::string& binary) {
  unsigned long long total = 0;
  for (auto _ : state) {
    SidecarChild child(optionsFor(binary));
    if (!start(state, child, binary)) {
      return;
    }
    const std::optional<unsigned long long> kib = residentKib(child.pid());
    if (!kib) {
      state.SkipWithError("cannot read /proc/PID/status");
      return;
    }
    total += *kib;
    child.closeInput();
    child.waitForExit();
  }
  state.counters["rss_kib"] = static_cast<double>(total) / static_cast<double>(state.iterations());
}

}  // namespace

int main(int argc, char** argv) {
  const std::string binary = findSidecar(argv[0]);
  benchmark::RegisterBenchmark("SetStreamingRoundTrip", SetStreamingRoundTrip, binary)
      ->Arg(10000)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("IdleCpu", IdleCpu, binary)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
  benchmark::RegisterBenchmark("ResidentMemoryAtStart", ResidentMemoryAtStart, binary)
      ->Iterations(5)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
