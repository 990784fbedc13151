#include "session/command_channel.h"

namespace sidecar::session {

namespace detail {

std::optional<std::chrono::steady_clock::time_point> deadlineAfter(std::chrono::nanoseconds timeout) {
  using std::chrono::steady_clock;
  const steady_clock::time_point now = steady_clock::now();
  if (timeout <= std::chrono::nanoseconds::zero()) {
    return now;
  }
  // steady_clock::duration is at least as fine as nanoseconds on the
  // platforms we build for; compare in nanoseconds to avoid overflow.
  const auto room = std::chrono::duration_cast<std::chrono::nanoseconds>(steady_clock::time_point::max() - now);
  if (timeout > room) {
    return std::nullopt;
  }
  return now + std::chrono::duration_cast<steady_clock::duration>(timeout);
}

template class ChannelState<ReaderMessage>;

}  // namespace detail

template class Sender<ReaderMessage>;
template class Receiver<ReaderMessage>;

CommandChannel makeCommandChannel() { return makeChannel<ReaderMessage>(COMMAND_CHANNEL_CAPACITY); }

}  // namespace sidecar::session
