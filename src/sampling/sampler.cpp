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

namespace {

/// The root and the external processes, each pid once.
std::uint64_t namedCount(std::uint32_t rootPid, const ExternalProcessMap& externals) {
  return externals.size() + (externals.count(rootPid) == 0 ? 1 : 0);
}

}  // namespace

Sampler::Sampler(procinfo::Platform& platform, procinfo::Clock& clock)
    : clock_(clock), source_(procinfo::ProcessInfoSource::new_with_specifics(platform)) {}

void Sampler::prime(std::uint32_t rootPid, const ExternalProcessMap& externals) {
  // Every process, so that a process the command names, watched or not
  // until now, has a baseline from this refresh.
  refresh(rootPid, externals, procinfo::ProcessInfoSource::Coverage::everyProcess);
}

void Sampler::refresh(std::uint32_t rootPid, const ExternalProcessMap& externals,
                      procinfo::ProcessInfoSource::Coverage coverage) {
  // The selection needs the parents and start times of this very refresh:
  // the source reads those of every process, hands them over, and reads
  // the rest for the selected processes only.
  const auto pick = [&](const procinfo::ProcessMap& processes, std::vector<std::uint32_t>& picked) {
    nodes_.clear();
    nodes_.reserve(processes.size());
    for (const auto& [pid, info] : processes) {
      nodes_.push_back(
          ProcessNode{pid, info.parentPid.value_or(0), saturatingMul(info.startTime, 1000), info.startInstant,
                      info.succession});
    }
    selection_ = selectProcesses(nodes_, rootPid, externals, externalMatches_);
    // Sorting the pids, not the samples, puts the samples in pid order
    // without moving their strings about.
    selected_.assign(selection_.selectedPids.begin(), selection_.selectedPids.end());
    std::sort(selected_.begin(), selected_.end());
    picked.assign(selected_.begin(), selected_.end());
  };
  source_.refresh_processes_specifics(procinfo::RefreshSelection::everything(), pick, coverage);
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
  refresh(rootPid, externals, procinfo::ProcessInfoSource::Coverage::changedAndPicked);

  const procinfo::ProcessMap& processes = source_.processes();
  protocol::Snapshot snapshot;
  snapshot.processes.reserve(selected_.size());
  for (const std::uint32_t pid : selected_) {
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
  snapshot.inaccessibleProcessCount = saturatingSub(selected_.size(), snapshot.processes.size());
  if (processes.empty()) {
    // Not one process could be listed (a listing that works holds the
    // sidecar itself: a sandbox refuses every listing). The processes the
    // parent named could not be looked for, and count as inaccessible, so
    // that this does not read as a watched tree that has ended.
    snapshot.inaccessibleProcessCount = namedCount(rootPid, externals);
  }
  snapshot.requestId = std::move(requestId);
  snapshot.externalProcesses = std::move(selection_.externalProcesses);
  return snapshot;
}

}  // namespace sidecar::sampling
