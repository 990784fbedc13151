// The syntax failures a command line can have, their fixed texts, and the
// translation of the JSON reader's error codes into them. A failure names
// the column (1-based byte position) at which it was seen; the text sent to
// the parent appends " at line 1 column N". Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sidecar::protocol {

enum class SyntaxError : std::uint8_t {
  EofWhileParsingList,
  EofWhileParsingObject,
  EofWhileParsingString,
  EofWhileParsingValue,
  ExpectedColon,
  ExpectedListCommaOrEnd,
  ExpectedObjectCommaOrEnd,
  ExpectedIdent,
  ExpectedValue,
  InvalidEscape,
  InvalidNumber,
  NumberOutOfRange,
  LoneLeadingSurrogate,
  UnexpectedEndOfHexEscape,
  ControlCharacterInString,
  KeyMustBeString,
  TrailingComma,
  TrailingCharacters,
  RecursionLimitExceeded,
};

/// One syntax failure: what and where (1-based byte column of the line).
struct SyntaxFault {
  SyntaxError error;
  std::size_t column;
};

/// The fixed text of a syntax failure, without position.
std::string_view syntaxErrorText(SyntaxError error);

/// "<text> at line 1 column <column>": a command line never holds a line
/// feed, so the line number is always 1.
std::string withPosition(std::string_view text, std::size_t column);

/// The full description of a syntax failure, with its position.
std::string describeSyntaxFault(SyntaxFault fault);

/// Translates an error of the JSON reader (its ParseErrorCode as an integer
/// and its byte offset) into the failure the line is refused with.
/// `lastEventEnd` is the offset just past the last token the reader reported
/// to its handler; a string that fails starts at the first quote from there.
/// Not for the reader's "terminated by the handler" and "number too big"
/// codes, which the caller settles itself.
SyntaxFault translateReaderError(std::string_view line, unsigned readerCode, std::size_t offset,
                                 std::size_t lastEventEnd);

}  // namespace sidecar::protocol
