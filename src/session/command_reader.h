// The command reader: the thread that reads standard input line by line,
// decodes each non-blank line into a Command (or a failure text) and sends it
// into the command channel for the main loop. It never writes output and
// never ends the process; whatever goes wrong travels as a failure text.
// The thread owns its input source and the sending end of the channel, and
// releases both when it stops. It is detached and never joined.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "session/command_channel.h"
#include "session/input_source.h"

namespace sidecar::session {

/// Stack size of the reader thread.
inline constexpr std::size_t COMMAND_READER_STACK_SIZE = 2 * 1024 * 1024;

/// Prefix of the failure text for a line that does not decode.
inline constexpr const char* INVALID_COMMAND_PREFIX = "invalid command: ";
/// Prefix of the failure text for input that cannot be read.
inline constexpr const char* READ_FAILURE_PREFIX = "failed reading command stream: ";
/// Description of input that is not UTF-8.
inline constexpr const char* INVALID_UTF8_DESCRIPTION = "stream did not contain valid UTF-8";

/// Turns one input line (line ending already removed, non-blank) into the
/// item the main loop receives: the decoded command, or "invalid command: "
/// and the decoder's description.
ReaderMessage decodeLine(std::string_view line);

/// The reader's loop, on the calling thread: reads lines from `source` and
/// sends one item per non-blank line until the end of input, a failed read
/// or invalid UTF-8 (both sent as a failure text first), or a failed send.
/// Releases `sender` when it returns; when memory ran out, as failed
/// (Sender::fail), so that the main loop ends the run with an error.
void runCommandReader(InputSource& source, CommandSender sender);

/// Why the reader thread could not be started.
struct ReaderStartError {
  /// "failed to spawn thread: " + the system's reason.
  std::string message;
};

/// Starts the reader thread over `source`, detached, with a 2 MiB stack. On
/// failure both `sender` and `source` are released and the reason returned.
[[nodiscard]] std::optional<ReaderStartError> startCommandReader(CommandSender sender,
                                                                 std::unique_ptr<InputSource> source);

/// The same over standard input (descriptor 0).
[[nodiscard]] std::optional<ReaderStartError> startCommandReader(CommandSender sender);

}  // namespace sidecar::session
