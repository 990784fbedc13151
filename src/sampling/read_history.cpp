#include "sampling/read_history.h"

#include <algorithm>
#include <cstddef>
#include <deque>
#include <vector>

#include "sampling/clock_reading.h"
#include "sampling/saturating.h"

namespace sidecar::sampling {

protocol::IoStatus answerReadHistory(const HistoryBuffer& history, std::uint64_t windowMs,
                                     std::string_view requestId, protocol::MessageWriter& writer,
                                     procinfo::Clock& clock) {
  const std::uint64_t now = wallUnixMs(clock);
  const std::uint64_t window = std::min(windowMs, READ_WINDOW_MAX_MS);
  const std::uint64_t from = saturatingSub(now, window);

  // The kept snapshots are in order of sampledAtUnixMs, so the window is
  // one run of them.
  const std::deque<protocol::Snapshot>& kept = history.snapshots();
  const auto first = std::lower_bound(kept.begin(), kept.end(), from,
                                      [](const protocol::Snapshot& s, std::uint64_t t) { return s.sampledAtUnixMs < t; });
  const auto last = std::upper_bound(first, kept.end(), now,
                                     [](std::uint64_t t, const protocol::Snapshot& s) { return t < s.sampledAtUnixMs; });
  if (first == last) {
    return writer.writeMessage(protocol::HistoryChunkMessage{requestId, true, {}});
  }
  // One chunk at a time is copied and written, so that a read of the whole
  // window costs the memory of one chunk besides the history, not a second
  // history.
  std::vector<protocol::Snapshot> chunk;
  chunk.reserve(HISTORY_CHUNK_SIZE);
  for (auto begin = first; begin != last;) {
    const auto count = std::min<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(HISTORY_CHUNK_SIZE), last - begin);
    const auto end = begin + count;
    chunk.assign(begin, end);
    const bool done = end == last;
    protocol::IoStatus status = writer.writeMessage(protocol::HistoryChunkMessage{requestId, done, chunk});
    if (!status.isOk()) {
      return status;
    }
    begin = end;
  }
  return protocol::IoStatus::ok();
}

}  // namespace sidecar::sampling
