#include "session/line_text.h"

#include <cstdint>

namespace sidecar::session {
namespace {

/// One decoded character and the number of bytes it took; `length` 0 means
/// the bytes at that position are not well-formed UTF-8.
struct Decoded {
  char32_t codePoint = 0;
  std::size_t length = 0;
};

bool isContinuation(unsigned char byte) { return (byte & 0xC0U) == 0x80U; }

Decoded decodeAt(std::string_view bytes, std::size_t at) {
  const auto lead = static_cast<unsigned char>(bytes[at]);
  if (lead < 0x80U) {
    return {lead, 1};
  }
  std::size_t length = 0;
  char32_t codePoint = 0;
  char32_t minimum = 0;
  if (lead >= 0xC2U && lead <= 0xDFU) {
    length = 2;
    codePoint = lead & 0x1FU;
    minimum = 0x80;
  } else if (lead >= 0xE0U && lead <= 0xEFU) {
    length = 3;
    codePoint = lead & 0x0FU;
    minimum = 0x800;
  } else if (lead >= 0xF0U && lead <= 0xF4U) {
    length = 4;
    codePoint = lead & 0x07U;
    minimum = 0x10000;
  } else {
    return {};  // a continuation byte, an overlong lead (C0, C1) or F5..FF
  }
  if (bytes.size() - at < length) {
    return {};
  }
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(bytes[at + i]);
    if (!isContinuation(next)) {
      return {};
    }
    codePoint = (codePoint << 6U) | (next & 0x3FU);
  }
  if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
    return {};
  }
  return {codePoint, length};
}

bool isWhiteSpace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

}  // namespace

void stripLineEnding(std::string& line) {
  if (line.empty() || line.back() != '\n') {
    return;
  }
  line.pop_back();
  if (!line.empty() && line.back() == '\r') {
    line.pop_back();
  }
}

bool isBlankLine(std::string_view line) {
  std::size_t at = 0;
  while (at < line.size()) {
    const Decoded decoded = decodeAt(line, at);
    if (decoded.length == 0 || !isWhiteSpace(decoded.codePoint)) {
      return false;
    }
    at += decoded.length;
  }
  return true;
}

}  // namespace sidecar::session
