#include "protocol/json_writer.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cmath>

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

template <typename Unsigned>
void writeUnsigned(OutputBuffer& out, Unsigned value) {
  char digits[20];
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
  out_.append('"');
  const char* data = text.data();
  const std::size_t size = text.size();
  std::size_t runStart = 0;
  for (std::size_t i = 0; i < size; ++i) {
    const char escape = ESCAPE[static_cast<unsigned char>(data[i])];
    if (escape == 0) {
      continue;
    }
    out_.append(data + runStart, i - runStart);
    if (escape == 'u') {
      static constexpr char HEX[] = "0123456789abcdef";
      const auto byte = static_cast<unsigned char>(data[i]);
      const char sequence[6] = {'\\', 'u', '0', '0', HEX[byte >> 4], HEX[byte & 0xF]};
      out_.append(sequence, sizeof sequence);
    } else {
      const char sequence[2] = {'\\', escape};
      out_.append(sequence, sizeof sequence);
    }
    runStart = i + 1;
  }
  out_.append(data + runStart, size - runStart);
  out_.append('"');
}

void JsonWriter::writeKey(std::string_view key) {
  bool& first = innermostFirst();
  if (!first) {
    out_.append(',');
  }
  first = false;
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
