#include "protocol/json_writer.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "protocol/float_text.h"

namespace sidecar::protocol {
namespace {

// For each byte: 0 when it is copied raw, the letter of its two-character
// escape, or 'u' for the six-character \u00xx form.
constexpr std::array<char, 256> makeEscapeTable() {
  std::array<char, 256> table{};
  for (int byte = 0; byte < 0x20; ++byte) {
    table[static_cast<std::size_t>(byte)] = 'u';
  }
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}

constexpr std::array<char, 256> ESCAPE = makeEscapeTable();

// The longest text of one byte: the six characters of \u00xx.
constexpr std::size_t MAX_ESCAPE = 6;

// Whether any of the eight bytes in `word` is a control byte, a double quote
// or a backslash (bit tricks for "has a byte less than n" / "has a zero").
constexpr bool anyNeedsEscape(std::uint64_t word) {
  constexpr std::uint64_t ONES = 0x0101010101010101ULL;
  constexpr std::uint64_t HIGHS = 0x8080808080808080ULL;
  const std::uint64_t control = (word - ONES * 0x20) & ~word;
  const std::uint64_t quote = word ^ (ONES * '"');
  const std::uint64_t backslash = word ^ (ONES * '\\');
  return ((control | ((quote - ONES) & ~quote) | ((backslash - ONES) & ~backslash)) & HIGHS) != 0;
}

// Writes the escape of one byte that needs it; returns the new end.
char* writeEscape(char* out, unsigned char byte, char escape) {
  *out++ = '\\';
  if (escape == 'u') {
    static constexpr char HEX[] = "0123456789abcdef";
    *out++ = 'u';
    *out++ = '0';
    *out++ = '0';
    *out++ = HEX[byte >> 4];
    *out++ = HEX[byte & 0xF];
  } else {
    *out++ = escape;
  }
  return out;
}

// Copies `text` escaped to `out`, which has room for MAX_ESCAPE bytes per
// input byte. Eight bytes at a time while none of them needs an escape.
char* escapeInto(char* out, const char* data, std::size_t size) {
  std::size_t i = 0;
  while (i < size) {
    if (size - i >= 8) {
      std::uint64_t word;
      std::memcpy(&word, data + i, 8);
      if (!anyNeedsEscape(word)) {
        std::memcpy(out, &word, 8);
        out += 8;
        i += 8;
        continue;
      }
    }
    const auto byte = static_cast<unsigned char>(data[i]);
    const char escape = ESCAPE[byte];
    if (escape == 0) {
      *out++ = static_cast<char>(byte);
    } else {
      out = writeEscape(out, byte, escape);
    }
    ++i;
  }
  return out;
}

// Index of the first byte at or after `from` that needs an escape, or `size`
// when there is none. Eight bytes at a time while none of them does.
std::size_t nextEscape(const char* data, std::size_t from, std::size_t size) {
  std::size_t i = from;
  while (size - i >= 8) {
    std::uint64_t word;
    std::memcpy(&word, data + i, 8);
    if (anyNeedsEscape(word)) {
      break;
    }
    i += 8;
  }
  while (i < size && ESCAPE[static_cast<unsigned char>(data[i])] == 0) {
    ++i;
  }
  return i;
}

template <typename Unsigned>
void writeUnsigned(OutputBuffer& out, Unsigned value) {
  constexpr std::size_t MAX_DIGITS = 20;
  if (char* room = out.tryReserve(MAX_DIGITS)) {
    out.commit(static_cast<std::size_t>(std::to_chars(room, room + MAX_DIGITS, value).ptr - room));
    return;
  }
  char digits[MAX_DIGITS];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, static_cast<std::size_t>(result.ptr - digits));
}

}  // namespace

void JsonWriter::push() {
  assert(depth_ < MAX_DEPTH);
  if (depth_ < MAX_DEPTH) {
    first_[depth_] = true;
  }
  ++depth_;
}

bool& JsonWriter::innermostFirst() {
  // Unbalanced or too deep nesting is a bug of the caller; stay in bounds.
  assert(depth_ > 0 && depth_ <= MAX_DEPTH);
  return first_[depth_ == 0 ? 0 : std::min(depth_, MAX_DEPTH) - 1];
}

void JsonWriter::pop() {
  assert(depth_ > 0);
  if (depth_ > 0) {
    --depth_;
  }
}

void JsonWriter::writeString(std::string_view text) {
  // Fast path: the escaped text surely fits into the free part of the buffer.
  if (text.size() <= OutputBuffer::CAPACITY / MAX_ESCAPE) {
    if (char* room = out_.tryReserve(text.size() * MAX_ESCAPE + 2)) {
      char* end = room;
      *end++ = '"';
      end = escapeInto(end, text.data(), text.size());
      *end++ = '"';
      out_.commit(static_cast<std::size_t>(end - room));
      return;
    }
  }
  // Otherwise piece by piece: each run of bytes that need no escape in one
  // append, each escape in another, so that a text of any length streams
  // through the buffer.
  out_.append('"');
  const char* data = text.data();
  const std::size_t size = text.size();
  std::size_t runStart = 0;
  for (std::size_t i = nextEscape(data, 0, size); i < size; i = nextEscape(data, i + 1, size)) {
    out_.append(data + runStart, i - runStart);
    const auto byte = static_cast<unsigned char>(data[i]);
    char sequence[MAX_ESCAPE];
    out_.append(sequence, static_cast<std::size_t>(writeEscape(sequence, byte, ESCAPE[byte]) - sequence));
    runStart = i + 1;
  }
  out_.append(data + runStart, size - runStart);
  out_.append('"');
}

void JsonWriter::writeKey(std::string_view key) {
  bool& first = innermostFirst();
  const bool separator = !first;
  first = false;
  // Keys are short names: separator, quoted escaped key and colon in place.
  if (key.size() <= OutputBuffer::CAPACITY / MAX_ESCAPE) {
    if (char* room = out_.tryReserve(key.size() * MAX_ESCAPE + 4)) {
      char* end = room;
      if (separator) {
        *end++ = ',';
      }
      *end++ = '"';
      end = escapeInto(end, key.data(), key.size());
      *end++ = '"';
      *end++ = ':';
      out_.commit(static_cast<std::size_t>(end - room));
      return;
    }
  }
  if (separator) {
    out_.append(',');
  }
  writeString(key);
  out_.append(':');
}

void JsonWriter::beginObject() {
  out_.append('{');
  push();
}

void JsonWriter::fieldU32(std::string_view key, std::uint32_t value) {
  writeKey(key);
  writeUnsigned(out_, value);
}

void JsonWriter::fieldU64(std::string_view key, std::uint64_t value) {
  writeKey(key);
  writeUnsigned(out_, value);
}

void JsonWriter::fieldString(std::string_view key, std::string_view value) {
  writeKey(key);
  writeString(value);
}

void JsonWriter::fieldBool(std::string_view key, bool value) {
  writeKey(key);
  out_.append(value ? std::string_view("true") : std::string_view("false"));
}

void JsonWriter::fieldFloat32(std::string_view key, float value) {
  writeKey(key);
  if (!std::isfinite(value)) {
    out_.append(std::string_view("null"));
    return;
  }
  char text[FLOAT_TEXT_MAX];
  out_.append(text, formatFloat32(value, text));
}

void JsonWriter::fieldOptionalU64(std::string_view key, std::optional<std::uint64_t> value) {
  writeKey(key);
  if (value.has_value()) {
    writeUnsigned(out_, *value);
  } else {
    out_.append(std::string_view("null"));
  }
}

void JsonWriter::beginObjectField(std::string_view key) {
  writeKey(key);
  out_.append('{');
  push();
}

void JsonWriter::beginArrayField(std::string_view key) {
  writeKey(key);
  out_.append('[');
  push();
}

void JsonWriter::beginElement() {
  bool& first = innermostFirst();
  if (!first) {
    out_.append(',');
  }
  first = false;
}

void JsonWriter::endArray() {
  out_.append(']');
  pop();
}

void JsonWriter::endObject() {
  out_.append('}');
  pop();
}

void JsonWriter::endLine() { out_.append('\n'); }

}  // namespace sidecar::protocol
