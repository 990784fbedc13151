// Applies one item from the command channel to the session and writes its
// answer, if it has one: the version check, the commands that need a
// configuration, the interval and external-process rules, and every error
// message the parent can receive. Main thread only; called by the main loop
// once per item, in arrival order.
#pragma once

#include "protocol/io_status.h"
#include "protocol/message_writer.h"
#include "session/command_channel.h"
#include "session/session_state.h"

namespace sidecar::session {

enum class HandleOutcome {
  /// The item was handled (or refused with an error message); go on.
  Continue,
  /// A shutdown was accepted: take the orderly end.
  End,
  /// Writing the answer failed (see `status`): take the failure end.
  Failed,
};

struct [[nodiscard]] HandleResult {
  HandleOutcome outcome = HandleOutcome::Continue;
  /// The write error when `outcome` is Failed; ok otherwise.
  protocol::IoStatus status = protocol::IoStatus::ok();
};

/// Handles one item. A failure text is answered with an invalid-command
/// error; a command of another protocol version with a protocol-mismatch
/// error (shutdown included, which then does not end the session); a command
/// that needs a configuration, before the first configure, with a
/// not-configured error. A refused item leaves the state unchanged. Any
/// write failure is returned as Failed; the command's effect up to that
/// point stands.
HandleResult handleCommand(SessionState& state, protocol::MessageWriter& writer, ReaderMessage message);

}  // namespace sidecar::session
