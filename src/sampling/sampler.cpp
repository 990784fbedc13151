#include "sampling/sampler.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#include "sampling/clock_reading.h"
#include "sampling/process_sample.h"
#include "sampling/process_selection.h"
#include "sampling/saturating.h"

namespace sidecar::sampling {

Sampler::Sampler(procinfo::Platform& platform, procinfo::Clock& clock)
    : clock_(clock), source_(procinfo::ProcessInfoSource::new_with_specifics(platform)) {}

void Sampler::prime() { refresh(); }

void Sampler::refresh() {
  source_.refresh_processes_specifics(procinfo::RefreshSelection::everything());
  lastRefreshAt_ = clock_.monotonicNow();
}

void Sampler::waitForSpacing() {
  if (!lastRefreshAt_.has_value()) {
    return;
  }
  const std::chrono::nanoseconds elapsed =
      std::max(clock_.monotonicNow() - *lastRefreshAt_, std::chrono::nanoseconds::zero());
  if (elapsed < MIN_REFRESH_SPACING) {
    clock_.sleepFor(MIN_REFRESH_SPACING - elapsed);
  }
}

protocol::Snapshot Sampler::takeSnapshot(std::uint32_t rootPid, const ExternalProcessMap& externals,
                                         std::optional<std::string> requestId) {
  waitForSpacing();
  const std::chrono::nanoseconds start = clock_.monotonicNow();
  refresh();

  const procinfo::ProcessMap& processes = source_.processes();
  std::vector<ProcessNode> nodes;
  nodes.reserve(processes.size());
  for (const auto& [pid, info] : processes) {
    nodes.push_back(ProcessNode{pid, info.parentPid.value_or(0), saturatingMul(info.startTime, 1000)});
  }
  ProcessSelection selection = selectProcesses(nodes, rootPid, externals);

  // Sorting the pids, not the samples, puts the samples in pid order
  // without moving their strings about.
  std::vector<std::uint32_t> selected(selection.selectedPids.begin(), selection.selectedPids.end());
  std::sort(selected.begin(), selected.end());
  protocol::Snapshot snapshot;
  snapshot.processes.reserve(selected.size());
  for (const std::uint32_t pid : selected) {
    const auto found = processes.find(pid);
    if (found != processes.end()) {
      snapshot.processes.push_back(makeProcessSample(found->second));
    }
  }

  if (sequence_ < std::numeric_limits<std::uint64_t>::max()) {
    ++sequence_;
  }
  snapshot.version = protocol::PROTOCOL_VERSION;
  snapshot.sequence = sequence_;
  snapshot.sampledAtUnixMs = wallUnixMs(clock_);
  snapshot.collectionDurationMicros = elapsedMicros(start, clock_.monotonicNow());
  snapshot.scannedProcessCount = processes.size();
  snapshot.retainedProcessCount = snapshot.processes.size();
  snapshot.inaccessibleProcessCount = saturatingSub(selection.selectedPids.size(), snapshot.processes.size());
  snapshot.requestId = std::move(requestId);
  snapshot.externalProcesses = std::move(selection.externalProcesses);
  return snapshot;
}

}  // namespace sidecar::sampling
