// Decoding of one command line from the parent into a Command, or into the
// description of why the line is refused. The description is what the
// parent reads back after "invalid command: ", so its wording, the
// rendering of the values it quotes and its column positions are exact.
//
// The line is read in one pass by RapidJSON's SAX reader; the decoder turns
// the reader's events and errors into the Command and the description. The
// function keeps no state between calls and may run on any thread; its
// stack use is bounded whatever the input (nesting stops at 127 levels).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "protocol/command.h"

namespace sidecar::protocol {

/// The outcome of decoding one line: exactly one of the two is set, either
/// the decoded `command` or, when it is empty, the `error` description (for
/// example "missing field `version`" or "trailing comma at line 1 column 20").
struct ParseResult {
  std::optional<Command> command;
  std::string error;

  static ParseResult success(Command command) { return ParseResult{std::move(command), {}}; }
  static ParseResult failure(std::string error) { return ParseResult{std::nullopt, std::move(error)}; }
};

/// Most levels of nested arrays and objects a line may hold, the outermost
/// value counting as the first.
inline constexpr int MAX_NESTING = 127;

/// Decodes one input line, given without its line terminator. The line holds
/// one JSON object (or the array form: the tag, then the fields by position),
/// optionally surrounded by JSON whitespace. Unknown keys are skipped
/// wherever they appear; numbers with a fraction or an exponent, -0 and
/// integers beyond 64 bits are floats and never fit an integer field.
ParseResult parseCommandLine(std::string_view line);

}  // namespace sidecar::protocol
