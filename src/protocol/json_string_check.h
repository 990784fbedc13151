// A byte-by-byte check of one JSON string token of a command line, used to
// find the exact failure and its column when the JSON reader refuses a
// string, and to catch escapes of lone trailing surrogates, which the reader
// lets through. Pure function; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "protocol/json_syntax_error.h"

namespace sidecar::protocol {

/// Checks the string token whose opening quote is at `quoteOffset` in
/// `line`. Returns the first failure met from the left, or nothing when the
/// token is a well-formed string (closed, every escape valid, surrogate
/// escapes paired). Raw bytes of 0x80 and above are not checked: the line is
/// valid UTF-8 by the time it is decoded.
std::optional<SyntaxFault> checkStringToken(std::string_view line, std::size_t quoteOffset);

}  // namespace sidecar::protocol
