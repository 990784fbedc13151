// The recent snapshots, kept in memory so that the parent can read them back
// later. Bounded four ways at once: by count (HISTORY_MAX_SNAPSHOTS), by age
// relative to the newest (HISTORY_MAX_AGE_MS), by entries, i.e. process
// samples plus external processes (HISTORY_MAX_ENTRIES), and by estimated
// bytes (HISTORY_MAX_BYTES). Running counters keep the limits checkable
// without walking the buffer.
//
// The session owns one buffer for the whole run; it keeps its own copies of
// the snapshots, without their request id. Main thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "protocol/snapshot.h"

namespace sidecar::sampling {

inline constexpr std::size_t HISTORY_MAX_SNAPSHOTS = 3600;
inline constexpr std::uint64_t HISTORY_MAX_AGE_MS = 3'600'000;
inline constexpr std::uint64_t HISTORY_MAX_ENTRIES = 20'000;
inline constexpr std::uint64_t HISTORY_MAX_BYTES = 64ULL * 1024 * 1024;

/// The estimated memory of one snapshot: 144 + 24 per external process +
/// per process sample 144 plus the byte lengths of its three texts.
/// Saturating.
std::uint64_t estimatedSnapshotBytes(const protocol::Snapshot& snapshot);

/// Process samples plus external processes of one snapshot.
std::uint64_t snapshotEntries(const protocol::Snapshot& snapshot);

class HistoryBuffer {
 public:
  /// Keeps a copy of `snapshot` without its request id. If the wall clock
  /// was set back (a kept snapshot is newer than this one), drops every kept
  /// snapshot newer than it. Then evicts from the front while any limit is
  /// broken. Afterwards the kept snapshots are in non-decreasing order of
  /// sampledAtUnixMs and none is newer than the new one.
  ///
  /// A snapshot that alone breaks the entry or byte limit is not kept, and
  /// the buffer stays exactly as it was: nothing older is evicted for it.
  void append(const protocol::Snapshot& snapshot);

  /// Copies of the kept snapshots with from <= sampledAtUnixMs <= to, oldest
  /// first.
  std::vector<protocol::Snapshot> selectRange(std::uint64_t fromUnixMs, std::uint64_t toUnixMs) const;

  std::size_t size() const { return snapshots_.size(); }
  bool empty() const { return snapshots_.empty(); }
  /// Sum of snapshotEntries over the kept snapshots (saturating).
  std::uint64_t entryCount() const { return entryCount_; }
  /// Sum of estimatedSnapshotBytes over the kept snapshots (saturating).
  std::uint64_t estimatedBytes() const { return estimatedBytes_; }
  /// Oldest first.
  const std::deque<protocol::Snapshot>& snapshots() const { return snapshots_; }

 private:
  void removeCounted(const protocol::Snapshot& snapshot);
  bool overLimit(std::uint64_t newestUnixMs) const;

  std::deque<protocol::Snapshot> snapshots_;
  std::uint64_t entryCount_ = 0;
  std::uint64_t estimatedBytes_ = 0;
};

}  // namespace sidecar::sampling
