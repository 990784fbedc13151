// Cost of one refresh of the process-information source over the whole
// system, beside the floor: a bare loop that only lists /proc and opens and
// reads the files those values need. Spawns about 1000 sleeping processes
// first (killed and reaped by pid at the end) so that the figures are per
// process on a busy machine. Prints microseconds per process and the ratio
// of each refresh to its floor. Three refreshes: the sampling refresh with
// every process watched, the one that watches 20 of the sleepers (details of
// those only), and the process table's; the selective one also beside the
// floor with /proc/PID/stat kept open ("sel/kept"), which it cannot beat by
// much: every process's stat is read at every refresh.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <unordered_map>
#include <string>
#include <unordered_set>
#include <vector>

#include "procinfo/platform.h"
#include "procinfo/process_info_source.h"

extern char** environ;

namespace {

using sidecar::procinfo::makeSystemPlatform;
using sidecar::procinfo::ProcessInfoSource;
using sidecar::procinfo::RefreshSelection;
using sidecar::procinfo::SystemClock;

constexpr int EXTRA_PROCESSES = 1000;
constexpr std::size_t WATCHED = 20;

std::vector<pid_t> sleepers;  // spawned in main

/// The pids the selective refresh watches: the first WATCHED sleepers.
std::vector<std::uint32_t> watchedPids() {
  std::vector<std::uint32_t> pids;
  for (std::size_t i = 0; i < sleepers.size() && i < WATCHED; ++i) {
    pids.push_back(static_cast<std::uint32_t>(sleepers[i]));
  }
  return pids;
}

std::vector<pid_t> spawnSleepers(int count) {
  std::vector<pid_t> pids;
  char program[] = "/bin/sleep";
  char duration[] = "3600";
  char* argv[] = {program, duration, nullptr};
  for (int i = 0; i < count; ++i) {
    pid_t pid = -1;
    if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) == 0) pids.push_back(pid);
  }
  return pids;
}

void stopSleepers(const std::vector<pid_t>& pids) {
  for (const pid_t pid : pids) kill(pid, SIGKILL);
  for (const pid_t pid : pids) waitpid(pid, nullptr, 0);
}

// The floor: list /proc and read each file whole into one reused buffer.
class Floor {
 public:
  Floor() : proc_(opendir("/proc")) {}
  ~Floor() { closedir(proc_); }

  /// `sampling`: stat, io and cmdline of every pid (of `details` only, when
  /// given), the exe link once per pid; else stat and the exe link.
  std::size_t pass(bool sampling, const std::unordered_set<std::uint32_t>* details = nullptr) {
    rewinddir(proc_);
    std::size_t count = 0;
    while (const dirent* entry = readdir(proc_)) {
      std::uint32_t pid = 0;
      const char* name = entry->d_name;
      const auto [end, error] = std::from_chars(name, name + std::strlen(name), pid);
      if (error != std::errc() || *end != '\0') continue;
      ++count;
      read(pid, "stat");
      if (sampling && details != nullptr) {
        if (details->count(pid) != 0) {
          read(pid, "io");
          read(pid, "cmdline");
        }
        if (seen_.insert(pid).second) link(pid);
      } else if (sampling) {
        read(pid, "io");
        read(pid, "cmdline");
        if (seen_.insert(pid).second) link(pid);
      } else {
        link(pid);
      }
    }
    return count;
  }

 private:
  void read(std::uint32_t pid, const char* leaf) {
    std::snprintf(path_, sizeof path_, "%u/%s", pid, leaf);
    const int fd = openat(dirfd(proc_), path_, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    while (::read(fd, buffer_, sizeof buffer_) > 0) {
    }
    close(fd);
    benchmark::DoNotOptimize(buffer_);
  }
  void link(std::uint32_t pid) {
    std::snprintf(path_, sizeof path_, "%u/exe", pid);
    benchmark::DoNotOptimize(readlinkat(dirfd(proc_), path_, buffer_, sizeof buffer_));
  }

  DIR* proc_;
  char path_[64] = {};
  char buffer_[8192] = {};
  std::unordered_set<std::uint32_t> seen_;
};

// The floor of a sample that watches a few processes: list /proc, read
// /proc/stat, and pread /proc/PID/stat of every pid through a descriptor kept
// open between passes (a failed read opens it afresh); nothing else.
class KeptStatFloor {
 public:
  KeptStatFloor() : proc_(opendir("/proc")) {}
  ~KeptStatFloor() {
    for (const auto& [pid, fd] : open_) close(fd);
    closedir(proc_);
  }

  std::size_t pass() {
    rewinddir(proc_);
    std::size_t count = 0;
    ++pass_;
    drain(openat(dirfd(proc_), "stat", O_RDONLY | O_CLOEXEC), true);
    while (const dirent* entry = readdir(proc_)) {
      std::uint32_t pid = 0;
      const char* name = entry->d_name;
      const auto [end, error] = std::from_chars(name, name + std::strlen(name), pid);
      if (error != std::errc() || *end != '\0') continue;
      ++count;
      seen_[pid] = pass_;
      auto [kept, added] = open_.try_emplace(pid, -1);
      if (!added && pread(kept->second, buffer_, sizeof buffer_, 0) > 0) continue;
      if (kept->second >= 0) close(kept->second);
      std::snprintf(path_, sizeof path_, "%u/stat", pid);
      kept->second = openat(dirfd(proc_), path_, O_RDONLY | O_CLOEXEC);
      if (kept->second >= 0) benchmark::DoNotOptimize(pread(kept->second, buffer_, sizeof buffer_, 0));
      if (added) {
        std::snprintf(path_, sizeof path_, "%u/exe", pid);
        benchmark::DoNotOptimize(readlinkat(dirfd(proc_), path_, buffer_, sizeof buffer_));
      }
    }
    for (auto it = open_.begin(); it != open_.end();) {
      if (seen_[it->first] == pass_) {
        ++it;
      } else {
        if (it->second >= 0) close(it->second);
        seen_.erase(it->first);
        it = open_.erase(it);
      }
    }
    return count;
  }

 private:
  void drain(int fd, bool closeAfter) {
    if (fd < 0) return;
    while (::read(fd, buffer_, sizeof buffer_) > 0) {
    }
    if (closeAfter) close(fd);
  }

  DIR* proc_;
  std::uint64_t pass_ = 0;
  std::unordered_map<std::uint32_t, int> open_;
  std::unordered_map<std::uint32_t, std::uint64_t> seen_;
  char path_[64] = {};
  char buffer_[8192] = {};
};

void setProcesses(benchmark::State& state, std::size_t processes) {
  state.counters["processes"] = static_cast<double>(processes);
}

void BM_SamplingRefresh(benchmark::State& state) {
  SystemClock clock;
  auto platform = makeSystemPlatform(clock);
  auto source = ProcessInfoSource::new_with_specifics(*platform);
  source.refresh_processes_specifics(RefreshSelection::everything());
  for (auto _ : state) source.refresh_processes_specifics(RefreshSelection::everything());
  setProcesses(state, source.processes().size());
}

void BM_SamplingFloor(benchmark::State& state) {
  Floor floor;
  floor.pass(true);
  std::size_t processes = 0;
  for (auto _ : state) processes = floor.pass(true);
  setProcesses(state, processes);
}

void BM_SelectiveRefresh(benchmark::State& state) {
  SystemClock clock;
  auto platform = makeSystemPlatform(clock);
  auto source = ProcessInfoSource::new_with_specifics(*platform);
  const std::vector<std::uint32_t> watched = watchedPids();
  const ProcessInfoSource::DetailPicker pick = [&](const sidecar::procinfo::ProcessMap&,
                                                   std::vector<std::uint32_t>& picked) {
    picked.assign(watched.begin(), watched.end());
  };
  source.refresh_processes_specifics(RefreshSelection::everything(), pick);
  for (auto _ : state) source.refresh_processes_specifics(RefreshSelection::everything(), pick);
  setProcesses(state, source.processes().size());
}

void BM_SelectiveFloor(benchmark::State& state) {
  Floor floor;
  const std::vector<std::uint32_t> watched = watchedPids();
  const std::unordered_set<std::uint32_t> details(watched.begin(), watched.end());
  floor.pass(true, &details);
  std::size_t processes = 0;
  for (auto _ : state) processes = floor.pass(true, &details);
  setProcesses(state, processes);
}

void BM_KeptStatFloor(benchmark::State& state) {
  KeptStatFloor floor;
  floor.pass();
  std::size_t processes = 0;
  for (auto _ : state) processes = floor.pass();
  setProcesses(state, processes);
}

void BM_TableRefresh(benchmark::State& state) {
  SystemClock clock;
  auto platform = makeSystemPlatform(clock);
  std::size_t processes = 0;
  for (auto _ : state) {
    auto source = ProcessInfoSource::new_with_specifics(*platform);
    source.refresh_processes_specifics(RefreshSelection::nothing());
    processes = source.processes().size();
  }
  setProcesses(state, processes);
}

void BM_TableFloor(benchmark::State& state) {
  Floor floor;
  std::size_t processes = 0;
  for (auto _ : state) processes = floor.pass(false);
  setProcesses(state, processes);
}

BENCHMARK(BM_SamplingRefresh)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SamplingFloor)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SelectiveRefresh)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SelectiveFloor)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_KeptStatFloor)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_TableRefresh)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_TableFloor)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Prints the usual table, then microseconds per process (CPU time, which
// other load on the machine disturbs less, and wall time) and the ratios.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  SummaryReporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const auto it = run.counters.find("processes");
      if (it == run.counters.end() || it->second.value <= 0 || run.iterations == 0) continue;
      const double processes = static_cast<double>(run.iterations) * it->second.value;
      PerProcess& entry = perProcess_[run.run_name.function_name];
      entry.cpu = run.cpu_accumulated_time * 1e6 / processes;
      entry.wall = run.real_accumulated_time * 1e6 / processes;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const auto show = [this](const char* what, const char* refresh, const char* floor) {
      const PerProcess r = perProcess_[refresh];
      const PerProcess f = perProcess_[floor];
      if (r.cpu <= 0 || f.cpu <= 0 || r.wall <= 0 || f.wall <= 0) return;
      std::printf("%-9s refresh %6.2f us/process CPU (%6.2f wall), floor %6.2f CPU (%6.2f wall), "
                  "ratio %.2fx CPU (%.2fx wall)\n",
                  what, r.cpu, r.wall, f.cpu, f.wall, r.cpu / f.cpu, r.wall / f.wall);
    };
    show("sampling", "BM_SamplingRefresh", "BM_SamplingFloor");
    show("selective", "BM_SelectiveRefresh", "BM_SelectiveFloor");
    show("sel/kept", "BM_SelectiveRefresh", "BM_KeptStatFloor");
    show("table", "BM_TableRefresh", "BM_TableFloor");
    std::fflush(stdout);
  }

 private:
  struct PerProcess {
    double cpu = 0;
    double wall = 0;
  };
  std::map<std::string, PerProcess> perProcess_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  sleepers = spawnSleepers(EXTRA_PROCESSES);
  std::printf("spawned %zu sleeping processes\n", sleepers.size());
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  stopSleepers(sleepers);
  benchmark::Shutdown();
  return 0;
}
