// The sampler: turns one refresh of its own long-lived process-information
// source into one Snapshot of the watched processes (the root process, the
// matched external processes and all their descendants). It keeps the
// refreshes of its source at least MIN_REFRESH_SPACING apart, the shortest
// interval over which CPU usage is measured, and numbers the snapshots.
//
// The session owns one Sampler for the whole run; the platform and the clock
// it is given must outlive it. Main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "procinfo/clock.h"
#include "procinfo/platform.h"
#include "procinfo/process_info_source.h"
#include "protocol/snapshot.h"
#include "sampling/external_process_map.h"
#include "sampling/process_selection.h"

namespace sidecar::sampling {

inline constexpr std::chrono::milliseconds MIN_REFRESH_SPACING{200};

class Sampler {
 public:
  /// A sampler whose source holds nothing yet; nothing is read here.
  Sampler(procinfo::Platform& platform, procinfo::Clock& clock);

  /// Refreshes the source at once (no spacing wait), reading every process
  /// of the system, so that the next snapshot has a CPU baseline for every
  /// process `rootPid` and `externals` name, whether or not it was watched
  /// before. Called whenever a command changes what is watched. Makes no
  /// snapshot; the sequence is unchanged.
  void prime(std::uint32_t rootPid, const ExternalProcessMap& externals);

  /// Waits out what remains of MIN_REFRESH_SPACING since the last refresh,
  /// refreshes the source and builds the snapshot of `rootPid`, the matched
  /// `externals` and their descendants, processes sorted by pid. The
  /// refresh lists every process, reads the basic values of those that may
  /// have joined the watched tree since the last refresh (new ones, ended
  /// ones and their children) and of the watched ones, selects the watched
  /// ones and reads everything else (command line, storage, CPU, memory,
  /// thread state) for those only; where the platform cannot tell when a
  /// process ends, the basic values of every process. The sequence goes up by one
  /// (saturating). The wait is not part of collectionDurationMicros. Cannot
  /// fail: whatever the source holds after the refresh is sampled.
  protocol::Snapshot takeSnapshot(std::uint32_t rootPid, const ExternalProcessMap& externals,
                                  std::optional<std::string> requestId);

  /// The number of the last snapshot; 0 before the first.
  std::uint64_t sequence() const { return sequence_; }
  /// Monotonic time at which the last refresh ended; empty before the first.
  std::optional<std::chrono::nanoseconds> lastRefreshAt() const { return lastRefreshAt_; }
  const procinfo::ProcessInfoSource& source() const { return source_; }

 private:
  void waitForSpacing();
  /// Refreshes the source with the selection of `rootPid` and `externals`,
  /// which it leaves in selection_ (selected pids sorted in selected_).
  void refresh(std::uint32_t rootPid, const ExternalProcessMap& externals,
               procinfo::ProcessInfoSource::Coverage coverage);

  procinfo::Clock& clock_;
  procinfo::ProcessInfoSource source_;
  // The selection of the latest refresh, and the buffers it is built from.
  ProcessSelection selection_;
  std::vector<std::uint32_t> selected_;
  std::vector<ProcessNode> nodes_;
  // The process each external entry with a start time was first matched to.
  ExternalMatches externalMatches_;
  std::optional<std::chrono::nanoseconds> lastRefreshAt_;
  std::uint64_t sequence_ = 0;
};

}  // namespace sidecar::sampling
