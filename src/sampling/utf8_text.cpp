#include "sampling/utf8_text.h"

#include <cstdint>
#include <cstring>

namespace sidecar::sampling {
namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

bool isContinuation(unsigned char byte) { return (byte & 0xC0U) == 0x80U; }

/// Length of the well-formed sequence starting at `pos`, or, when it is
/// ill-formed, 0 with `subpart` set to the number of bytes (at least 1) that
/// make up its maximal ill-formed subpart. Follows the table of well-formed
/// byte sequences: the second byte's range depends on the lead byte.
std::size_t sequenceAt(const unsigned char* data, std::size_t size, std::size_t pos,
                       std::size_t& subpart) {
  const unsigned char lead = data[pos];
  if (lead < 0x80U) {
    return 1;
  }
  std::size_t length = 0;
  unsigned char secondLow = 0x80;
  unsigned char secondHigh = 0xBF;
  if (lead >= 0xC2U && lead <= 0xDFU) {
    length = 2;
  } else if (lead >= 0xE0U && lead <= 0xEFU) {
    length = 3;
    if (lead == 0xE0U) {
      secondLow = 0xA0;  // below is an overlong form
    } else if (lead == 0xEDU) {
      secondHigh = 0x9F;  // above encodes a surrogate
    }
  } else if (lead >= 0xF0U && lead <= 0xF4U) {
    length = 4;
    if (lead == 0xF0U) {
      secondLow = 0x90;  // below is an overlong form
    } else if (lead == 0xF4U) {
      secondHigh = 0x8F;  // above is beyond U+10FFFF
    }
  } else {
    subpart = 1;  // 0x80..0xC1 and 0xF5..0xFF never start a character
    return 0;
  }

  std::size_t i = 1;
  if (pos + i >= size || data[pos + i] < secondLow || data[pos + i] > secondHigh) {
    subpart = 1;
    return 0;
  }
  for (i = 2; i < length; ++i) {
    if (pos + i >= size || !isContinuation(data[pos + i])) {
      subpart = i;
      return 0;
    }
  }
  return length;
}

/// Index of the first byte that does not start a well-formed sequence, or
/// `size` when the whole input is valid. ASCII is skipped eight bytes at a time.
std::size_t validPrefix(const unsigned char* data, std::size_t size) {
  std::size_t pos = 0;
  while (pos < size) {
    if (size - pos >= 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, data + pos, sizeof word);
      if ((word & 0x8080808080808080ULL) == 0) {
        pos += 8;
        continue;
      }
    }
    std::size_t subpart = 0;
    const std::size_t length = sequenceAt(data, size, pos, subpart);
    if (length == 0) {
      return pos;
    }
    pos += length;
  }
  return size;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
  return validPrefix(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) == bytes.size();
}

void appendUtf8Lossy(std::string& out, std::string_view bytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  std::size_t pos = validPrefix(data, size);
  out.append(bytes.substr(0, pos));
  while (pos < size) {
    std::size_t subpart = 0;
    const std::size_t length = sequenceAt(data, size, pos, subpart);
    if (length == 0) {
      out.append(REPLACEMENT);
      pos += subpart;
      continue;
    }
    // Copy the whole valid run that starts here in one go.
    const std::size_t runEnd = pos + validPrefix(data + pos, size - pos);
    out.append(bytes.substr(pos, runEnd - pos));
    pos = runEnd;
  }
}

std::string toUtf8Lossy(std::string_view bytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  if (validPrefix(data, bytes.size()) == bytes.size()) {
    return std::string(bytes);
  }
  std::string out;
  out.reserve(bytes.size() + 2 * REPLACEMENT.size());
  appendUtf8Lossy(out, bytes);
  return out;
}

std::size_t cutLength(std::string_view text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) {
    return text.size();
  }
  // text[maxBytes] is the first byte left out; if it continues a character,
  // that character started at or before the limit and must go entirely.
  std::size_t length = maxBytes;
  while (length > 0 && isContinuation(static_cast<unsigned char>(text[length]))) {
    --length;
  }
  return length;
}

void cutToLimit(std::string& text, std::size_t maxBytes) {
  text.resize(cutLength(text, maxBytes));
}

std::string toUtf8Cut(std::string_view bytes, std::size_t maxBytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  if (validPrefix(data, bytes.size()) == bytes.size()) {
    return std::string(bytes.substr(0, cutLength(bytes, maxBytes)));
  }
  std::string text = toUtf8Lossy(bytes);
  cutToLimit(text, maxBytes);
  return text;
}

}  // namespace sidecar::sampling
