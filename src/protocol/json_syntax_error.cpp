#include "protocol/json_syntax_error.h"

#include <rapidjson/error/error.h>

#include <charconv>

#include "protocol/json_string_check.h"

namespace sidecar::protocol {
namespace {

bool isJsonWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The last byte before `offset` that is not whitespace, or 0 at the start.
char previousToken(std::string_view line, std::size_t offset) {
  while (offset > 0) {
    const char c = line[offset - 1];
    if (!isJsonWhitespace(c)) {
      return c;
    }
    --offset;
  }
  return '\0';
}

bool isLiteralLetter(char c) {
  // The letters of true, false and null.
  switch (c) {
    case 't': case 'r': case 'u': case 'e': case 'f': case 'a': case 'l': case 's': case 'n':
      return true;
    default:
      return false;
  }
}

// The reader found no valid start of a value, or a broken literal or minus.
// What it had consumed of the value tells which: the byte before `offset`
// is a letter of a literal, a minus sign, or punctuation before the value.
SyntaxFault invalidValue(std::string_view line, std::size_t offset) {
  const bool atEnd = offset >= line.size();
  const std::size_t eofColumn = line.size();
  const char before = offset > 0 ? line[offset - 1] : '\0';
  if (isLiteralLetter(before)) {
    return atEnd ? SyntaxFault{SyntaxError::EofWhileParsingValue, eofColumn}
                 : SyntaxFault{SyntaxError::ExpectedIdent, offset + 1};
  }
  if (before == '-') {
    return atEnd ? SyntaxFault{SyntaxError::EofWhileParsingValue, eofColumn}
                 : SyntaxFault{SyntaxError::InvalidNumber, offset + 1};
  }
  const char previous = previousToken(line, offset);
  if (atEnd) {
    // The first element of an array is due: the list is what ends early.
    return {previous == '[' ? SyntaxError::EofWhileParsingList : SyntaxError::EofWhileParsingValue, eofColumn};
  }
  if (line[offset] == ']' && previous == ',') {
    return {SyntaxError::TrailingComma, offset + 1};
  }
  return {SyntaxError::ExpectedValue, offset + 1};
}

}  // namespace

std::string_view syntaxErrorText(SyntaxError error) {
  switch (error) {
    case SyntaxError::EofWhileParsingList: return "EOF while parsing a list";
    case SyntaxError::EofWhileParsingObject: return "EOF while parsing an object";
    case SyntaxError::EofWhileParsingString: return "EOF while parsing a string";
    case SyntaxError::EofWhileParsingValue: return "EOF while parsing a value";
    case SyntaxError::ExpectedColon: return "expected `:`";
    case SyntaxError::ExpectedListCommaOrEnd: return "expected `,` or `]`";
    case SyntaxError::ExpectedObjectCommaOrEnd: return "expected `,` or `}`";
    case SyntaxError::ExpectedIdent: return "expected ident";
    case SyntaxError::ExpectedValue: return "expected value";
    case SyntaxError::InvalidEscape: return "invalid escape";
    case SyntaxError::InvalidNumber: return "invalid number";
    case SyntaxError::NumberOutOfRange: return "number out of range";
    case SyntaxError::LoneLeadingSurrogate: return "lone leading surrogate in hex escape";
    case SyntaxError::UnexpectedEndOfHexEscape: return "unexpected end of hex escape";
    case SyntaxError::ControlCharacterInString:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case SyntaxError::KeyMustBeString: return "key must be a string";
    case SyntaxError::TrailingComma: return "trailing comma";
    case SyntaxError::TrailingCharacters: return "trailing characters";
    case SyntaxError::RecursionLimitExceeded: return "recursion limit exceeded";
  }
  return "expected value";
}

std::string withPosition(std::string_view text, std::size_t column) {
  static constexpr std::string_view AT_LINE = " at line 1 column ";
  char digits[20];
  const auto end = std::to_chars(digits, digits + sizeof digits, column).ptr;
  std::string out;
  out.reserve(text.size() + AT_LINE.size() + static_cast<std::size_t>(end - digits));
  out.append(text).append(AT_LINE).append(digits, end);
  return out;
}

std::string describeSyntaxFault(SyntaxFault fault) {
  return withPosition(syntaxErrorText(fault.error), fault.column);
}

SyntaxFault translateReaderError(std::string_view line, unsigned readerCode, std::size_t offset,
                                 std::size_t lastEventEnd) {
  // The reader sees the byte 0 as the end of its input; only an offset at
  // the line's length is a real end of line, anything before is a NUL byte.
  const bool atEnd = offset >= line.size();
  const std::size_t eofColumn = line.size();
  const std::size_t column = offset + 1;
  switch (static_cast<rapidjson::ParseErrorCode>(readerCode)) {
    case rapidjson::kParseErrorDocumentEmpty:
    case rapidjson::kParseErrorValueInvalid:
      return invalidValue(line, offset);
    case rapidjson::kParseErrorObjectMissName:
      if (atEnd) {
        return {previousToken(line, offset) == ',' ? SyntaxError::EofWhileParsingValue
                                                   : SyntaxError::EofWhileParsingObject,
                eofColumn};
      }
      return {line[offset] == '}' ? SyntaxError::TrailingComma : SyntaxError::KeyMustBeString, column};
    case rapidjson::kParseErrorObjectMissColon:
      return atEnd ? SyntaxFault{SyntaxError::EofWhileParsingObject, eofColumn}
                   : SyntaxFault{SyntaxError::ExpectedColon, column};
    case rapidjson::kParseErrorObjectMissCommaOrCurlyBracket:
      return atEnd ? SyntaxFault{SyntaxError::EofWhileParsingObject, eofColumn}
                   : SyntaxFault{SyntaxError::ExpectedObjectCommaOrEnd, column};
    case rapidjson::kParseErrorArrayMissCommaOrSquareBracket:
      return atEnd ? SyntaxFault{SyntaxError::EofWhileParsingList, eofColumn}
                   : SyntaxFault{SyntaxError::ExpectedListCommaOrEnd, column};
    case rapidjson::kParseErrorNumberMissFraction:
    case rapidjson::kParseErrorNumberMissExponent:
      return atEnd ? SyntaxFault{SyntaxError::EofWhileParsingValue, eofColumn}
                   : SyntaxFault{SyntaxError::InvalidNumber, column};
    case rapidjson::kParseErrorStringUnicodeEscapeInvalidHex:
    case rapidjson::kParseErrorStringUnicodeSurrogateInvalid:
    case rapidjson::kParseErrorStringEscapeInvalid:
    case rapidjson::kParseErrorStringMissQuotationMark:
    case rapidjson::kParseErrorStringInvalidEncoding: {
      // The reader words some of these differently and points at the
      // backslash; check the token again from its opening quote.
      const std::size_t quote = line.find('"', lastEventEnd);
      if (quote != std::string_view::npos && quote <= offset) {
        if (auto fault = checkStringToken(line, quote)) {
          return *fault;
        }
      }
      return atEnd ? SyntaxFault{SyntaxError::EofWhileParsingString, eofColumn}
                   : SyntaxFault{SyntaxError::InvalidEscape, column};
    }
    default:
      break;
  }
  return atEnd ? SyntaxFault{SyntaxError::EofWhileParsingValue, eofColumn}
               : SyntaxFault{SyntaxError::ExpectedValue, column};
}

}  // namespace sidecar::protocol
