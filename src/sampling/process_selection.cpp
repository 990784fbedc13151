#include "sampling/process_selection.h"

#include <cstddef>
#include <deque>
#include <iterator>
#include <unordered_map>
#include <utility>

namespace sidecar::sampling {
namespace {

/// A visited process: pid and start together (with the succession, for a
/// pid taken again within one clock tick), so that a pid that reappears as
/// another process is a different process.
struct PidStart {
  std::uint32_t pid = 0;
  std::uint64_t startTimeMs = 0;
  std::uint64_t startInstant = 0;
  std::uint32_t succession = 0;
  bool operator==(const PidStart&) const = default;
};

struct PidStartHash {
  std::size_t operator()(const PidStart& key) const noexcept {
    // Mix the start into the pid with a 64-bit multiplicative hash.
    std::uint64_t h = ((key.startTimeMs ^ key.startInstant) * 0x9E3779B97F4A7C15ULL) ^ key.pid;
    h ^= h >> 29;
    return static_cast<std::size_t>(h);
  }
};

/// The children of each parent pid, in node order, stored contiguously:
/// `ranges` maps a parent pid to its slice of `children`.
struct ChildIndex {
  struct Range {
    std::uint32_t begin = 0;
    std::uint32_t count = 0;
  };
  std::unordered_map<std::uint32_t, Range> ranges;
  std::vector<PidStart> children;

  explicit ChildIndex(std::span<const ProcessNode> nodes) {
    ranges.reserve(nodes.size());
    for (const auto& node : nodes) {
      ++ranges[node.ppid].count;
    }
    std::uint32_t next = 0;
    for (auto& [ppid, range] : ranges) {
      range.begin = next;
      next += range.count;
      range.count = 0;  // refilled below, in node order
    }
    children.resize(nodes.size());
    for (const auto& node : nodes) {
      Range& range = ranges[node.ppid];
      children[range.begin + range.count] = PidStart{node.pid, node.startTimeMs, node.startInstant, node.succession};
      ++range.count;
    }
  }

  std::span<const PidStart> of(std::uint32_t pid) const {
    const auto found = ranges.find(pid);
    if (found == ranges.end()) {
      return {};
    }
    return std::span<const PidStart>(children).subspan(found->second.begin, found->second.count);
  }
};

}  // namespace

ProcessSelection selectProcesses(std::span<const ProcessNode> nodes, std::uint32_t rootPid,
                                 const ExternalProcessMap& externals) {
  ExternalMatches matches;
  return selectProcesses(nodes, rootPid, externals, matches);
}

ProcessSelection selectProcesses(std::span<const ProcessNode> nodes, std::uint32_t rootPid,
                                 const ExternalProcessMap& externals, ExternalMatches& matches) {
  ProcessSelection result;

  // Start time of every live pid; with a repeated pid the later node counts.
  std::unordered_map<std::uint32_t, PidStart> startTimes;
  startTimes.reserve(nodes.size());
  for (const auto& node : nodes) {
    startTimes.insert_or_assign(node.pid, PidStart{node.pid, node.startTimeMs, node.startInstant, node.succession});
  }

  // A match recorded for an entry that has gone or names another second
  // no longer holds.
  for (auto it = matches.begin(); it != matches.end();) {
    const auto entry = externals.find(it->first);
    const bool holds = entry != externals.end() && entry->second.has_value() &&
                       *entry->second - *entry->second % 1000 == it->second.startTimeMs;
    it = holds ? std::next(it) : matches.erase(it);
  }

  // Match the external processes: the pid must be live and, when the parent
  // gave a start time, started in the same whole second and be the process
  // first matched to the entry.
  std::unordered_set<std::uint32_t> roots;
  roots.reserve(externals.size() + 1);
  for (const auto& [pid, expectedStart] : externals) {
    const auto live = startTimes.find(pid);
    if (live == startTimes.end()) {
      continue;
    }
    if (expectedStart.has_value()) {
      const std::uint64_t second = *expectedStart - *expectedStart % 1000;
      if (second != live->second.startTimeMs) {
        continue;
      }
      const PidStart& process = live->second;
      const auto [match, first] =
          matches.try_emplace(pid, ExternalMatch{second, process.startInstant, process.succession});
      if (!first &&
          (match->second.startInstant != process.startInstant || match->second.succession != process.succession)) {
        continue;  // a later process on the pid, within the same second or even the same tick
      }
    }
    result.externalProcesses.push_back(protocol::ExternalProcess{pid, live->second.startTimeMs});
    roots.insert(pid);
  }
  roots.insert(rootPid);

  const ChildIndex children(nodes);

  std::deque<PidStart> queue;
  for (const std::uint32_t root : roots) {
    const auto live = startTimes.find(root);
    if (live != startTimes.end()) {
      queue.push_back(live->second);
    }
  }

  // Breadth-first walk; each (pid, start) is visited once, so cycles end.
  std::unordered_set<PidStart, PidStartHash> seen;
  while (!queue.empty()) {
    const PidStart current = queue.front();
    queue.pop_front();
    if (!seen.insert(current).second) {
      continue;
    }
    result.selectedPids.insert(current.pid);
    for (const PidStart& child : children.of(current.pid)) {
      if (child.startTimeMs >= current.startTimeMs) {
        queue.push_back(child);
      }
    }
  }
  return result;
}

}  // namespace sidecar::sampling
