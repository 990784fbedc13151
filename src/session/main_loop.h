// The main loop: the sidecar's single control thread after start-up. Each
// turn does exactly one thing: take the periodic sample that is due, or wait
// on the command channel until the next sample is due (at most a minute when
// none is scheduled) and handle the one item received. The due check runs
// before every wait, so a stream of commands never holds back a sample.
//
// The loop borrows the session state, the writer and the receiving end; the
// caller owns them and releases them after the loop returns. Main thread
// only. The clock for the schedule is the session state's.
#pragma once

#include <chrono>

#include "protocol/io_status.h"
#include "protocol/message_writer.h"
#include "session/command_channel.h"
#include "session/session_state.h"

namespace sidecar::session {

/// Longest single wait on the channel while no sample is scheduled.
inline constexpr std::chrono::seconds IDLE_WAIT{60};

/// Runs the loop until an accepted shutdown or the end of the commands
/// (the sending end released and every queued item handled): returns ok,
/// the orderly end. Returns the write error when a message could not be
/// written: the failure end. Items still queued behind a shutdown are left
/// unhandled in the channel.
[[nodiscard]] protocol::IoStatus runMainLoop(SessionState& state, protocol::MessageWriter& writer,
                                             CommandReceiver& receiver);

}  // namespace sidecar::session
