// Which processes one sample reports: the root process, the external
// processes whose start time still matches, and all their descendants
// through the parent links of the current refresh. Start times guard against
// reused pids: an external process must still have the start second the
// parent gave, and a child is followed only if it did not start before its
// parent; an external named with a start time stays the process first
// matched to it, which the caller remembers between calls (ExternalMatches).
// Otherwise a pure function of its arguments. Main thread (inside the
// sampler), though any thread would do.
#pragma once

#include <cstdint>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "protocol/command.h"
#include "sampling/external_process_map.h"

namespace sidecar::sampling {

/// One process of the current refresh.
struct ProcessNode {
  std::uint32_t pid = 0;
  /// 0 when the process has no known parent.
  std::uint32_t ppid = 0;
  /// Start time in whole seconds since the Unix epoch, times 1000.
  std::uint64_t startTimeMs = 0;
  /// The start at the platform's finest resolution (ProcessInfo::
  /// startInstant): tells apart two processes that had the pid within one
  /// second.
  std::uint64_t startInstant = 0;
  /// ProcessInfo::succession: tells apart two processes that had the pid
  /// within one clock tick, where an exit watch saw the first one end.
  std::uint32_t succession = 0;
};

/// The process an external entry named with a start time was first matched
/// to: the entry's start second (times 1000) and that process's start
/// instant and succession.
struct ExternalMatch {
  std::uint64_t startTimeMs = 0;
  std::uint64_t startInstant = 0;
  std::uint32_t succession = 0;
};

/// The first match of each external entry with a start time, by pid, kept by
/// the caller from one selection to the next.
using ExternalMatches = std::unordered_map<std::uint32_t, ExternalMatch>;

struct ProcessSelection {
  /// The matched external processes, each with the live process's start
  /// time, in the iteration order of the external-process map.
  std::vector<protocol::ExternalProcess> externalProcesses;
  /// Every selected pid, each once.
  std::unordered_set<std::uint32_t> selectedPids;
};

/// Selects from `nodes` (pids unique) the process `rootPid` (no start-time
/// check; nothing when it does not exist), every entry of `externals` whose
/// pid exists and whose expected start, rounded down to whole seconds, equals
/// the node's start (an entry without a start time matches any process with
/// the pid), and all their descendants. A child that started in an earlier
/// second than its parent is not followed. Linear in the number of nodes;
/// ends on cyclic parent links. Cannot fail.
ProcessSelection selectProcesses(std::span<const ProcessNode> nodes, std::uint32_t rootPid,
                                 const ExternalProcessMap& externals);

/// The same, for selections that follow one another: an entry named with a
/// start time stands for the process it was first matched to (recorded in
/// `matches`) for as long as the entry is in `externals`, so a later process
/// on the pid that started in the same second is not matched. Records of
/// entries no longer in `externals` (or whose start second changed) are
/// dropped.
ProcessSelection selectProcesses(std::span<const ProcessNode> nodes, std::uint32_t rootPid,
                                 const ExternalProcessMap& externals, ExternalMatches& matches);

}  // namespace sidecar::sampling
