// The external processes the parent asked to watch, keyed by pid, each with
// the start time it expects (milliseconds since the Unix epoch) or none. The
// session keeps one in its configuration; the selection reads it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>

#include "protocol/command.h"

namespace sidecar::sampling {

using ExternalProcessMap = std::unordered_map<std::uint32_t, std::optional<std::uint64_t>>;

/// The map of a list as the parent sent it: when a pid appears more than
/// once, the later entry replaces the earlier one.
inline ExternalProcessMap makeExternalProcessMap(std::span<const protocol::ExternalProcess> list) {
  ExternalProcessMap map;
  map.reserve(list.size());
  for (const auto& entry : list) {
    map.insert_or_assign(entry.pid, entry.startTimeMs);
  }
  return map;
}

}  // namespace sidecar::sampling
