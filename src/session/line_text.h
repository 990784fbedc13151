// Checks the reader applies to one well-formed UTF-8 input line before it
// is parsed (validity itself is sampling::isValidUtf8): the removal of the
// line ending and the test for a line that holds nothing but Unicode white
// space. Pure functions on borrowed text; any thread.
#pragma once

#include <string>
#include <string_view>

namespace sidecar::session {

/// Removes a trailing line feed and then one carriage return directly before
/// it. A line without a line feed is left unchanged, a trailing carriage
/// return included.
void stripLineEnding(std::string& line);

/// True when `line` (valid UTF-8) is empty or consists only of characters
/// with the Unicode White_Space property.
bool isBlankLine(std::string_view line);

}  // namespace sidecar::session
