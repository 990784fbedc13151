// JSON numbers of a command line: their kind and value, read from the
// number's own text (the reader hands numbers over as text so that -0, 3.0
// and integers beyond 64 bits keep their meaning), and a byte-by-byte scan
// of a number token for the cases the JSON reader does not settle itself.
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/json_syntax_error.h"

namespace sidecar::protocol {

/// A number as the command decoder sees it: an integer of the unsigned or
/// the signed 64-bit range, or else a double. A fraction, an exponent, -0
/// and any integer beyond 64 bits make it a float.
struct JsonNumber {
  enum class Kind : std::uint8_t { Unsigned, Negative, Float };
  Kind kind = Kind::Unsigned;
  std::uint64_t unsignedValue = 0;  // Kind::Unsigned
  std::int64_t negativeValue = 0;   // Kind::Negative (always < 0)
  double floatValue = 0.0;          // Kind::Float
};

/// Reads the text of a well-formed JSON number. Returns nothing when its
/// magnitude does not fit a double ("number out of range"); a magnitude
/// below the smallest double reads as zero of the same sign.
std::optional<JsonNumber> readJsonNumber(std::string_view text);

/// The outcome of scanning one number token.
struct NumberScan {
  std::size_t end = 0;               // offset just past the token
  std::optional<SyntaxFault> fault;  // a malformed token, if any
};

/// Scans the number token that starts at `begin` (a '-' or a digit) by the
/// JSON grammar, including the rule that a leading zero is not followed by a
/// digit.
NumberScan scanJsonNumber(std::string_view line, std::size_t begin);

/// Overwrites, in a copy of a command line, every number token that fits a
/// double and is at least three bytes long with "0." and zeros of the same
/// length. The JSON reader refuses some valid numbers (a zero with a huge
/// exponent, integers of hundreds of digits); the decoder reads number values
/// from the original line, so the copy only has to keep every token's length
/// and the reader's view of the structure. Strings are left alone.
void neutralizeNumbers(std::string& lineCopy);

}  // namespace sidecar::protocol
