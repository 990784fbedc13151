#include "session/handle_command.h"

#include <string>
#include <utility>
#include <variant>

#include "protocol/command.h"
#include "protocol/outgoing_message.h"
#include "sampling/process_table.h"
#include "sampling/read_history.h"

namespace sidecar::session {
namespace {

using protocol::ErrorCode;
using protocol::IoStatus;

HandleResult fromWrite(IoStatus status) {
  if (status.isOk()) {
    return HandleResult{};
  }
  return HandleResult{HandleOutcome::Failed, status};
}

HandleResult writeError(protocol::MessageWriter& writer, ErrorCode code, std::string_view message) {
  const bool recoverable = code != ErrorCode::ProtocolMismatch;
  return fromWrite(writer.writeMessage(protocol::ErrorMessage{code, message, recoverable}));
}

/// One call operator per command kind; each runs after the version check.
class CommandHandler {
 public:
  CommandHandler(SessionState& state, protocol::MessageWriter& writer) : state_(state), writer_(writer) {}

  HandleResult operator()(protocol::Configure& command) {
    state_.config = SessionConfig{command.rootPid, sampling::makeExternalProcessMap(command.externalProcesses),
                                  sampleIntervalFromMs(command.sampleIntervalMs)};
    // A refresh now gives the first sample a baseline for CPU rates.
    state_.sampler.prime(state_.config->rootPid, state_.config->externalProcesses);
    if (state_.config->sampleInterval) {
      state_.nextSampleAt = state_.clock.monotonicNow();
    } else {
      state_.nextSampleAt.reset();
    }
    return HandleResult{};
  }

  HandleResult operator()(protocol::SetExternalProcesses& command) {
    if (!state_.config) {
      return notConfigured("configure must be sent before external processes");
    }
    state_.config->externalProcesses = sampling::makeExternalProcessMap(command.processes);
    // A refresh now gives the processes named a CPU baseline, so that their
    // first sample, at least the sampler's spacing later, shows their usage
    // since this command.
    state_.sampler.prime(state_.config->rootPid, state_.config->externalProcesses);
    return HandleResult{};
  }

  HandleResult operator()(protocol::SetSampleInterval& command) {
    if (!state_.config) {
      return notConfigured("configure must be sent before changing the sample interval");
    }
    state_.config->sampleInterval = sampleIntervalFromMs(command.sampleIntervalMs);
    if (state_.config->sampleInterval) {
      // A pending sample time is replaced: the next sample comes one full
      // new interval after this command.
      state_.nextSampleAt = state_.clock.monotonicNow() + *state_.config->sampleInterval;
    } else {
      state_.nextSampleAt.reset();
    }
    return HandleResult{};
  }

  HandleResult operator()(protocol::SetStreaming& command) {
    state_.streaming = command.enabled;
    return HandleResult{};
  }

  HandleResult operator()(protocol::SampleNow& command) {
    if (!state_.config) {
      return notConfigured("configure must be sent before sampling");
    }
    // The periodic schedule is left as it is.
    const protocol::Snapshot snapshot = state_.sampler.takeSnapshot(
        state_.config->rootPid, state_.config->externalProcesses, std::move(command.requestId));
    state_.history.append(snapshot);
    return fromWrite(writer_.writeMessage(protocol::SnapshotMessage{snapshot}));
  }

  HandleResult operator()(protocol::ProcessTable& command) {
    return fromWrite(sampling::answerProcessTable(command.requestId, state_.platform, writer_));
  }

  HandleResult operator()(protocol::ReadHistory& command) {
    if (!state_.config) {
      return notConfigured("configure must be sent before reading history");
    }
    return fromWrite(
        sampling::answerReadHistory(state_.history, command.windowMs, command.requestId, writer_, state_.clock));
  }

  HandleResult operator()(protocol::Shutdown& /*command*/) { return HandleResult{HandleOutcome::End}; }

 private:
  HandleResult notConfigured(std::string_view message) {
    return writeError(writer_, ErrorCode::NotConfigured, message);
  }

  SessionState& state_;
  protocol::MessageWriter& writer_;
};

}  // namespace

HandleResult handleCommand(SessionState& state, protocol::MessageWriter& writer, ReaderMessage message) {
  if (auto* failure = std::get_if<ReaderFailure>(&message)) {
    return writeError(writer, ErrorCode::InvalidCommand, failure->text);
  }
  protocol::Command& command = std::get<protocol::Command>(message);
  const std::uint32_t version = protocol::commandVersion(command);
  if (version != protocol::PROTOCOL_VERSION) {
    const std::string text = "unsupported protocol version " + std::to_string(version) + "; expected " +
                             std::to_string(protocol::PROTOCOL_VERSION);
    return writeError(writer, ErrorCode::ProtocolMismatch, text);
  }
  return std::visit(CommandHandler(state, writer), command);
}

}  // namespace sidecar::session
