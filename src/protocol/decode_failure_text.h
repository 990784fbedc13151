// The texts of the decoding failures of a command line that are not syntax
// errors: a value of the wrong type or out of range, a missing, repeated or
// unknown name, a wrong number of elements. They quote the value found in
// a fixed rendering ("integer `5`", "string \"x\"", "floating point `3.0`",
// "null", "sequence", "map"). Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/json_number.h"

namespace sidecar::protocol {

/// A JSON value as far as a failure text needs it. `text` (a decoded string)
/// is borrowed and must outlive the call that renders it.
struct FoundValue {
  enum class Kind : std::uint8_t { Null, Bool, Number, String, Sequence, Map };
  Kind kind = Kind::Null;
  bool boolean = false;
  JsonNumber number;
  std::string_view text;
};

/// The rendering of a found value: "boolean `true`", "integer `-1`",
/// "floating point `1e+20`", "string \"a\\tb\"", "null", "sequence", "map".
std::string renderFoundValue(const FoundValue& value);

/// "invalid type: <rendering>, expected <expected>"
std::string invalidTypeText(const FoundValue& value, std::string_view expected);
/// "invalid value: <rendering>, expected <expected>"
std::string invalidValueText(const FoundValue& value, std::string_view expected);
/// "missing field `<key>`"
std::string missingFieldText(std::string_view key);
/// "duplicate field `<key>`"
std::string duplicateFieldText(std::string_view key);
/// "unknown variant `<name>`, expected one of `configure`, ... `shutdown`"
std::string unknownVariantText(std::string_view name);
/// "invalid length <count>, expected <expected>"
std::string invalidLengthText(std::size_t count, std::string_view expected);
/// "<count> elements in sequence", or "1 element in sequence".
std::string elementsInSequenceText(std::size_t count);

}  // namespace sidecar::protocol
