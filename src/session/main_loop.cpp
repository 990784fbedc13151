#include "session/main_loop.h"

#include <cerrno>

#include <optional>
#include <utility>

#include "session/handle_command.h"

namespace sidecar::session {
namespace {

using protocol::IoStatus;

/// True when a periodic sample is due now.
bool sampleDue(SessionState& state) {
  return state.nextSampleAt && state.clock.monotonicNow() >= *state.nextSampleAt;
}

/// The periodic step: takes one sample, records it, writes it when
/// streaming, and schedules the next one an interval after this one ended,
/// so that late samples are not caught up.
IoStatus takePeriodicSample(SessionState& state, protocol::MessageWriter& writer) {
  state.nextSampleAt.reset();
  if (!state.config || !state.config->sampleInterval) {
    return IoStatus::ok();
  }
  const SessionConfig& config = *state.config;
  const protocol::Snapshot snapshot =
      state.sampler.takeSnapshot(config.rootPid, config.externalProcesses, std::nullopt);
  state.history.append(snapshot);
  if (state.streaming) {
    IoStatus written = writer.writeMessage(protocol::SnapshotMessage{snapshot});
    if (!written.isOk()) {
      return written;
    }
  }
  state.nextSampleAt = state.clock.monotonicNow() + *config.sampleInterval;
  return IoStatus::ok();
}

/// How long to wait on the channel: until the next sample (never negative),
/// or IDLE_WAIT when none is scheduled.
std::chrono::nanoseconds waitTime(SessionState& state) {
  if (!state.nextSampleAt) {
    return IDLE_WAIT;
  }
  const std::chrono::nanoseconds left = *state.nextSampleAt - state.clock.monotonicNow();
  return left > std::chrono::nanoseconds::zero() ? left : std::chrono::nanoseconds::zero();
}

}  // namespace

IoStatus runMainLoop(SessionState& state, protocol::MessageWriter& writer, CommandReceiver& receiver) {
  for (;;) {
    if (sampleDue(state)) {
      IoStatus sampled = takePeriodicSample(state, writer);
      if (!sampled.isOk()) {
        return sampled;
      }
      continue;
    }
    ReceiveResult<ReaderMessage> received = receiver.receiveWithTimeout(waitTime(state));
    switch (received.status) {
      case ReceiveStatus::TimedOut:
        continue;
      case ReceiveStatus::Disconnected:
        return IoStatus::ok();
      case ReceiveStatus::SenderFailed:
        // The reader thread ran out of memory.
        return IoStatus::osError(ENOMEM);
      case ReceiveStatus::Item:
        break;
    }
    HandleResult handled = handleCommand(state, writer, std::move(*received.item));
    switch (handled.outcome) {
      case HandleOutcome::Continue:
        break;
      case HandleOutcome::End:
        return IoStatus::ok();
      case HandleOutcome::Failed:
        return handled.status;
    }
  }
}

}  // namespace sidecar::session
