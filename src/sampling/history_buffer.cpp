#include "sampling/history_buffer.h"

#include <iterator>

#include "sampling/saturating.h"

namespace sidecar::sampling {

std::uint64_t estimatedSnapshotBytes(const protocol::Snapshot& snapshot) {
  std::uint64_t bytes = saturatingAdd(144, saturatingMul(24, snapshot.externalProcesses.size()));
  for (const auto& sample : snapshot.processes) {
    std::uint64_t sampleBytes = 144;
    sampleBytes = saturatingAdd(sampleBytes, sample.name.size());
    sampleBytes = saturatingAdd(sampleBytes, sample.command.size());
    sampleBytes = saturatingAdd(sampleBytes, sample.status.size());
    bytes = saturatingAdd(bytes, sampleBytes);
  }
  return bytes;
}

std::uint64_t snapshotEntries(const protocol::Snapshot& snapshot) {
  return saturatingAdd(snapshot.processes.size(), snapshot.externalProcesses.size());
}

void HistoryBuffer::append(const protocol::Snapshot& snapshot) {
  // A snapshot that alone breaks the entry or byte limit could only be kept
  // by evicting everything, itself included. It is refused up front so that
  // the history before it survives.
  if (snapshotEntries(snapshot) > HISTORY_MAX_ENTRIES || estimatedSnapshotBytes(snapshot) > HISTORY_MAX_BYTES) {
    return;
  }
  const std::uint64_t newest = snapshot.sampledAtUnixMs;
  const bool clockSetBack = !snapshots_.empty() && snapshots_.back().sampledAtUnixMs > newest;

  snapshots_.push_back(snapshot);
  snapshots_.back().requestId.reset();
  entryCount_ = saturatingAdd(entryCount_, snapshotEntries(snapshot));
  estimatedBytes_ = saturatingAdd(estimatedBytes_, estimatedSnapshotBytes(snapshot));

  if (clockSetBack) {
    // The kept snapshots are in order, so the ones stamped after the new one
    // sit directly in front of it.
    while (snapshots_.size() >= 2) {
      const auto beforeNew = std::prev(snapshots_.end(), 2);
      if (beforeNew->sampledAtUnixMs <= newest) {
        break;
      }
      removeCounted(*beforeNew);
      snapshots_.erase(beforeNew);
    }
  }

  while (!snapshots_.empty() && overLimit(newest)) {
    removeCounted(snapshots_.front());
    snapshots_.pop_front();
  }
}

bool HistoryBuffer::overLimit(std::uint64_t newestUnixMs) const {
  return snapshots_.size() > HISTORY_MAX_SNAPSHOTS ||
         snapshots_.front().sampledAtUnixMs < saturatingSub(newestUnixMs, HISTORY_MAX_AGE_MS) ||
         entryCount_ > HISTORY_MAX_ENTRIES || estimatedBytes_ > HISTORY_MAX_BYTES;
}

void HistoryBuffer::removeCounted(const protocol::Snapshot& snapshot) {
  entryCount_ = saturatingSub(entryCount_, snapshotEntries(snapshot));
  estimatedBytes_ = saturatingSub(estimatedBytes_, estimatedSnapshotBytes(snapshot));
}

std::vector<protocol::Snapshot> HistoryBuffer::selectRange(std::uint64_t fromUnixMs,
                                                           std::uint64_t toUnixMs) const {
  std::vector<protocol::Snapshot> selected;
  for (const auto& snapshot : snapshots_) {
    if (snapshot.sampledAtUnixMs >= fromUnixMs && snapshot.sampledAtUnixMs <= toUnixMs) {
      selected.push_back(snapshot);
    }
  }
  return selected;
}

}  // namespace sidecar::sampling
