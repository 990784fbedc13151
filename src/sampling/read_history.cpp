#include "sampling/read_history.h"

#include <algorithm>
#include <span>
#include <vector>

#include "sampling/clock_reading.h"
#include "sampling/saturating.h"

namespace sidecar::sampling {

protocol::IoStatus answerReadHistory(const HistoryBuffer& history, std::uint64_t windowMs,
                                     std::string_view requestId, protocol::MessageWriter& writer,
                                     procinfo::Clock& clock) {
  const std::uint64_t now = wallUnixMs(clock);
  const std::uint64_t window = std::min(windowMs, READ_WINDOW_MAX_MS);
  const std::vector<protocol::Snapshot> selection = history.selectRange(saturatingSub(now, window), now);

  if (selection.empty()) {
    return writer.writeMessage(protocol::HistoryChunkMessage{requestId, true, {}});
  }
  const std::span<const protocol::Snapshot> all(selection);
  for (std::size_t begin = 0; begin < all.size(); begin += HISTORY_CHUNK_SIZE) {
    const std::size_t count = std::min(HISTORY_CHUNK_SIZE, all.size() - begin);
    const bool done = begin + count == all.size();
    protocol::IoStatus status =
        writer.writeMessage(protocol::HistoryChunkMessage{requestId, done, all.subspan(begin, count)});
    if (!status.isOk()) {
      return status;
    }
  }
  return protocol::IoStatus::ok();
}

}  // namespace sidecar::sampling
