// How one process of the source becomes one ProcessSample of a snapshot:
// texts converted to UTF-8 and cut to their limits, times in milliseconds,
// the reported status as text. Pure; any thread.
#pragma once

#include <cstddef>

#include "procinfo/process_info.h"
#include "protocol/snapshot.h"

namespace sidecar::sampling {

inline constexpr std::size_t NAME_MAX_BYTES = 1024;
inline constexpr std::size_t COMMAND_MAX_BYTES = 16384;
inline constexpr std::size_t STATUS_MAX_BYTES = 256;

/// The sample of `info`: name cut to NAME_MAX_BYTES; command the arguments
/// joined by single spaces and cut to COMMAND_MAX_BYTES, or, without
/// arguments, the whole name cut to COMMAND_MAX_BYTES; status the text of
/// the reported status; start and run time in ms (saturating); I/O counters
/// as storage bytes.
protocol::ProcessSample makeProcessSample(const procinfo::ProcessInfo& info);

}  // namespace sidecar::sampling
