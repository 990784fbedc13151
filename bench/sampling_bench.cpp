// Costs of the sampling subsystem:
//   - selectProcesses over 10,000 nodes of which 2,000 form the watched tree;
//   - takeSnapshot of a real 1,000-process tree (spawned here, killed and
//     reaped by pid at the end); the spacing wait is skipped so that each
//     iteration is one refresh plus the collection;
//   - takeSnapshot of a real 20-process tree beside an unwatched 1,000-process
//     one: the refresh reads the details of the 20 only;
//   - HistoryBuffer::append when the buffer is at its limits (each append
//     evicts);
//   - the heap the history really holds when full, against its estimate
//     (counters heapBytes, estimatedBytes, heapPerEstimate; glibc only).
#include <benchmark/benchmark.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "procinfo/clock.h"
#include "procinfo/platform.h"
#include "protocol/snapshot.h"
#include "sampling/history_buffer.h"
#include "sampling/process_selection.h"
#include "sampling/sampler.h"
#include "test_support/sampling/spawned_tree.h"

namespace {

using sidecar::protocol::ProcessSample;
using sidecar::protocol::Snapshot;
using sidecar::sampling::HistoryBuffer;
using sidecar::sampling::ProcessNode;

// --- selectProcesses ---------------------------------------------------------

void BM_SelectProcesses(benchmark::State& state) {
  constexpr std::uint32_t NODES = 10'000;
  constexpr std::uint32_t TREE = 2'000;
  constexpr std::uint32_t ROOT = 50'000;
  std::mt19937 random(42);
  std::vector<ProcessNode> nodes;
  nodes.push_back({1, 0, 1'000'000});
  // The rest of the system: a random forest under init.
  for (std::uint32_t i = 2; i <= NODES - TREE; ++i) {
    const std::uint32_t parent = 1 + random() % (i - 1);
    nodes.push_back({i, parent, 1'000'000 + i * 1000ULL});
  }
  // The watched tree: each node's parent is an earlier node of the tree.
  nodes.push_back({ROOT, 1, 2'000'000'000});
  for (std::uint32_t i = 1; i < TREE; ++i) {
    const std::uint32_t parent = ROOT + random() % i;
    nodes.push_back({ROOT + i, parent, 2'000'000'000 + i * 1000ULL});
  }
  std::shuffle(nodes.begin(), nodes.end(), random);
  // One external process inside the tree, one that no longer matches.
  const sidecar::sampling::ExternalProcessMap externals = {{ROOT + 10, std::nullopt}, {7, 1'999'000}};


  std::size_t selected = 0;
  for (auto _ : state) {
    auto selection = sidecar::sampling::selectProcesses(nodes, ROOT, externals);
    selected = selection.selectedPids.size();
    benchmark::DoNotOptimize(selection);
  }
  state.counters["selected"] = static_cast<double>(selected);
  state.counters["nodes"] = NODES;
}
BENCHMARK(BM_SelectProcesses)->Unit(benchmark::kMicrosecond);

// --- takeSnapshot of a real tree --------------------------------------------

/// A shell tree of 1,000 processes: the root starts nine shells, each of
/// which starts 110 sleeps; every descendant prints its pid.
constexpr const char* THOUSAND_SCRIPT =
    "for g in 1 2 3 4 5 6 7 8 9; do "
    "/bin/sh -c 'i=0; while [ $i -lt 110 ]; do sleep 3600 & echo $!; i=$((i+1)); done; wait' & echo $!; "
    "done; wait";

/// The system's clocks with the sleep left out, so that back-to-back
/// snapshots measure the collection and not the refresh spacing.
class NoSleepClock final : public sidecar::procinfo::Clock {
 public:
  std::chrono::nanoseconds monotonicNow() override { return system_.monotonicNow(); }
  std::chrono::nanoseconds wallNow() override { return system_.wallNow(); }
  void sleepFor(std::chrono::nanoseconds) override {}

 private:
  sidecar::procinfo::SystemClock system_;
};

/// A shell tree of 20 processes: the root and 19 sleeps.
constexpr const char* TWENTY_SCRIPT = "i=0; while [ $i -lt 19 ]; do sleep 3600 & echo $!; i=$((i+1)); done; wait";

/// Samples `tree` (of `descendants` below its root, `sleeps` of them sleep)
/// back to back.
void takeSnapshots(benchmark::State& state, sidecar::sampling::testing::SpawnedTree& tree, std::size_t descendants,
                   std::ptrdiff_t sleeps) {
  if (tree.root() <= 0 || !tree.readDescendants(descendants)) {
    state.SkipWithError("could not spawn the tree");
    return;
  }
  sidecar::procinfo::SystemClock platformClock;
  NoSleepClock samplerClock;
  const auto platform = sidecar::procinfo::makeSystemPlatform(platformClock);
  sidecar::sampling::Sampler sampler(*platform, samplerClock);
  sampler.prime(static_cast<std::uint32_t>(tree.root()), {});
  // Wait until every sleep has its own process image.
  Snapshot snapshot;
  for (int attempt = 0; attempt < 50; ++attempt) {
    snapshot = sampler.takeSnapshot(static_cast<std::uint32_t>(tree.root()), {}, std::nullopt);
    if (std::count_if(snapshot.processes.begin(), snapshot.processes.end(),
                      [](const ProcessSample& s) { return s.name == "sleep"; }) == sleeps) {
      break;
    }
  }
  std::uint64_t collectionMicros = 0;
  for (auto _ : state) {
    snapshot = sampler.takeSnapshot(static_cast<std::uint32_t>(tree.root()), {}, std::nullopt);
    collectionMicros += snapshot.collectionDurationMicros;
  }
  state.counters["retained"] = static_cast<double>(snapshot.retainedProcessCount);
  state.counters["scanned"] = static_cast<double>(snapshot.scannedProcessCount);
  state.counters["collectionMicros"] =
      static_cast<double>(collectionMicros) / static_cast<double>(std::max<std::int64_t>(state.iterations(), 1));
  state.counters["microsPerScanned"] =
      state.counters["collectionMicros"] / std::max(1.0, static_cast<double>(snapshot.scannedProcessCount));
}

void BM_TakeSnapshotOfRealTree(benchmark::State& state) {
  sidecar::sampling::testing::SpawnedTree tree(THOUSAND_SCRIPT);
  takeSnapshots(state, tree, 999, 990);
}

void BM_TakeSnapshotOfSmallTreeAmongMany(benchmark::State& state) {
  sidecar::sampling::testing::SpawnedTree others(THOUSAND_SCRIPT);
  if (others.root() <= 0 || !others.readDescendants(999)) {
    state.SkipWithError("could not spawn the unwatched tree");
    return;
  }
  sidecar::sampling::testing::SpawnedTree tree(TWENTY_SCRIPT);
  takeSnapshots(state, tree, 19, 19);
}
BENCHMARK(BM_TakeSnapshotOfRealTree)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_TakeSnapshotOfSmallTreeAmongMany)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// --- the history --------------------------------------------------------------

struct Shape {
  const char* label;
  std::size_t processes;  // per snapshot
  std::size_t commandBytes;
  std::size_t appends;  // enough to reach the limits
};

// Realistic texts: a short name, a command of the given length, a status.
Snapshot makeSnapshot(const Shape& shape) {
  Snapshot snapshot;
  snapshot.scannedProcessCount = 600;
  snapshot.retainedProcessCount = shape.processes;
  for (std::size_t i = 0; i < shape.processes; ++i) {
    ProcessSample sample;
    sample.pid = static_cast<std::uint32_t>(1000 + i);
    sample.ppid = 1;
    sample.name = "worker-" + std::to_string(i % 1000);
    sample.command = std::string(shape.commandBytes, 'c');
    sample.status = "Sleep";
    snapshot.processes.push_back(sample);
  }
  return snapshot;
}

const std::array<Shape, 5> SHAPES = {{
    {"500 processes, 60-byte commands (entry limit)", 500, 60, 100},
    {"5 processes, 60-byte commands (count limit)", 5, 60, 4000},
    {"no processes (count limit)", 0, 0, 4000},
    {"1 process, short texts (count limit)", 1, 2, 4000},
    {"100 processes, 16 KiB commands (byte limit)", 100, 16384, 100},
}};

void BM_HistoryAppendAtLimits(benchmark::State& state) {
  const Shape& shape = SHAPES[static_cast<std::size_t>(state.range(0))];
  HistoryBuffer history;
  Snapshot snapshot = makeSnapshot(shape);
  std::uint64_t at = 1'767'225'600'000;
  for (std::size_t i = 0; i < shape.appends; ++i) {
    snapshot.sampledAtUnixMs = at += 1000;
    history.append(snapshot);
  }
  for (auto _ : state) {
    snapshot.sampledAtUnixMs = at += 1000;
    history.append(snapshot);
  }
  state.SetLabel(shape.label);
  state.counters["kept"] = static_cast<double>(history.size());
  state.counters["entries"] = static_cast<double>(history.entryCount());
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(shape.processes + 1));
}
BENCHMARK(BM_HistoryAppendAtLimits)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond);

#if defined(__GLIBC__)
std::size_t heapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

void BM_HistoryHeapWhenFull(benchmark::State& state) {
  const Shape& shape = SHAPES[static_cast<std::size_t>(state.range(0))];
  double heap = 0;
  double estimated = 0;
  std::size_t kept = 0;
  std::uint64_t entries = 0;
  for (auto _ : state) {
    Snapshot snapshot = makeSnapshot(shape);
    const std::size_t before = heapInUse();
    {
      auto history = std::make_unique<HistoryBuffer>();
      std::uint64_t at = 1'767'225'600'000;
      for (std::size_t i = 0; i < shape.appends; ++i) {
        snapshot.sampledAtUnixMs = at += 1000;
        history->append(snapshot);
      }
      heap = static_cast<double>(heapInUse() - before);
      estimated = static_cast<double>(history->estimatedBytes());
      kept = history->size();
      entries = history->entryCount();
    }
  }
  state.SetLabel(shape.label);
  state.counters["heapBytes"] = heap;
  state.counters["estimatedBytes"] = estimated;
  state.counters["heapPerEstimate"] = heap / estimated;
  state.counters["kept"] = static_cast<double>(kept);
  state.counters["entries"] = static_cast<double>(entries);
}
BENCHMARK(BM_HistoryHeapWhenFull)->DenseRange(0, 4)->Iterations(1)->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK_MAIN();
