#include "protocol/json_string_check.h"

namespace sidecar::protocol {
namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads the four hexadecimal digits of a \u escape starting at `p`. They
// are read as one block: fewer than four bytes left is an early end of the
// line, four bytes that are not all digits an invalid escape at the fourth.
struct HexEscape {
  unsigned value = 0;
  std::optional<SyntaxFault> fault;
};

HexEscape readHex4(std::string_view line, std::size_t p) {
  if (line.size() - p < 4) {
    return {0, SyntaxFault{SyntaxError::EofWhileParsingString, line.size()}};
  }
  unsigned value = 0;
  bool valid = true;
  for (std::size_t i = 0; i < 4; ++i) {
    const int digit = hexDigit(line[p + i]);
    valid = valid && digit >= 0;
    value = (value << 4) | static_cast<unsigned>(digit & 0xF);
  }
  if (!valid) {
    return {0, SyntaxFault{SyntaxError::InvalidEscape, p + 4}};
  }
  return {value, std::nullopt};
}

bool isTrailingSurrogate(unsigned code) { return code >= 0xDC00 && code <= 0xDFFF; }
bool isLeadingSurrogate(unsigned code) { return code >= 0xD800 && code <= 0xDBFF; }

}  // namespace

std::optional<SyntaxFault> checkStringToken(std::string_view line, std::size_t quoteOffset) {
  const std::size_t n = line.size();
  const SyntaxFault eof{SyntaxError::EofWhileParsingString, n};
  std::size_t p = quoteOffset + 1;
  for (;;) {
    if (p >= n) {
      return eof;
    }
    const auto c = static_cast<unsigned char>(line[p]);
    if (c == '"') {
      return std::nullopt;
    }
    if (c < 0x20) {
      return SyntaxFault{SyntaxError::ControlCharacterInString, p + 1};
    }
    if (c != '\\') {
      ++p;
      continue;
    }
    if (++p >= n) {
      return eof;
    }
    switch (line[p]) {
      case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
        ++p;
        continue;
      case 'u':
        break;
      default:
        return SyntaxFault{SyntaxError::InvalidEscape, p + 1};
    }
    ++p;  // past 'u'
    HexEscape first = readHex4(line, p);
    if (first.fault) {
      return first.fault;
    }
    p += 4;  // now p - 1 is the escape's last digit, p its 1-based column
    if (isTrailingSurrogate(first.value)) {
      return SyntaxFault{SyntaxError::LoneLeadingSurrogate, p};
    }
    if (!isLeadingSurrogate(first.value)) {
      continue;
    }
    // A leading surrogate must be followed directly by \u and a trailing one.
    if (p >= n) {
      return eof;
    }
    if (line[p] != '\\') {
      return SyntaxFault{SyntaxError::UnexpectedEndOfHexEscape, p + 1};
    }
    if (++p >= n) {
      return eof;
    }
    if (line[p] != 'u') {
      return SyntaxFault{SyntaxError::UnexpectedEndOfHexEscape, p + 1};
    }
    ++p;
    HexEscape second = readHex4(line, p);
    if (second.fault) {
      return second.fault;
    }
    p += 4;
    if (!isTrailingSurrogate(second.value)) {
      return SyntaxFault{SyntaxError::LoneLeadingSurrogate, p};
    }
  }
}

}  // namespace sidecar::protocol
