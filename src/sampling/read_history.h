// The answer to readHistory: the kept snapshots of the last `windowMs`
// milliseconds (at most one hour), written as historyChunk messages of at
// most HISTORY_CHUNK_SIZE snapshots each. Main thread; the buffer is only
// read. The snapshots of one chunk are copied before the chunk is written,
// one chunk at a time, so that the peak memory of a read is the history
// plus one chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "procinfo/clock.h"
#include "protocol/io_status.h"
#include "protocol/message_writer.h"
#include "sampling/history_buffer.h"

namespace sidecar::sampling {

inline constexpr std::uint64_t READ_WINDOW_MAX_MS = 3'600'000;
inline constexpr std::size_t HISTORY_CHUNK_SIZE = 32;

/// Selects the snapshots stamped from now - min(windowMs, one hour) to now
/// (the wall clock of `clock`; snapshots newer than now are left out) and
/// writes them, oldest first, in chunks of HISTORY_CHUNK_SIZE, each carrying
/// `requestId`, `done` true on the last only. Nothing selected: one chunk,
/// done, with no snapshots. Returns the first write failure; the remaining
/// chunks are then not written.
protocol::IoStatus answerReadHistory(const HistoryBuffer& history, std::uint64_t windowMs,
                                     std::string_view requestId, protocol::MessageWriter& writer,
                                     procinfo::Clock& clock);

}  // namespace sidecar::sampling
