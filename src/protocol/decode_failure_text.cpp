#include "protocol/decode_failure_text.h"

#include <charconv>

#include "protocol/float_text.h"

namespace sidecar::protocol {
namespace {

constexpr std::string_view VARIANT_NAMES =
    "one of `configure`, `setExternalProcesses`, `setSampleInterval`, `setStreaming`, `sampleNow`, "
    "`processTable`, `readHistory`, `shutdown`";

template <typename Integer>
void appendDecimal(std::string& out, Integer value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

void appendHex(std::string& out, unsigned value) {
  char digits[8];
  const auto end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
  out.append(digits, end);
}

// A decoded string as the failure texts quote it: in double quotes, with the
// quote, backslash, tab, carriage return, line feed and NUL as backslash
// sequences and the other control characters (C0, DEL and C1) as \u{hex}.
void appendQuotedString(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t runStart = 0;
  auto flush = [&](std::size_t upTo) { out.append(text.substr(runStart, upTo - runStart)); };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::string_view escape;
    unsigned code = 0;
    std::size_t width = 1;
    switch (c) {
      case '"': escape = "\\\""; break;
      case '\\': escape = "\\\\"; break;
      case '\t': escape = "\\t"; break;
      case '\r': escape = "\\r"; break;
      case '\n': escape = "\\n"; break;
      case '\0': escape = "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          code = c;
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
          code = static_cast<unsigned char>(text[i + 1]);  // U+0080..U+009F
          width = 2;
        } else {
          continue;
        }
    }
    flush(i);
    if (!escape.empty()) {
      out.append(escape);
    } else {
      out.append("\\u{");
      appendHex(out, code);
      out.push_back('}');
    }
    i += width - 1;
    runStart = i + 1;
  }
  flush(text.size());
  out.push_back('"');
}

void appendRendering(std::string& out, const FoundValue& value) {
  switch (value.kind) {
    case FoundValue::Kind::Null:
      out.append("null");
      return;
    case FoundValue::Kind::Bool:
      out.append(value.boolean ? "boolean `true`" : "boolean `false`");
      return;
    case FoundValue::Kind::Number:
      switch (value.number.kind) {
        case JsonNumber::Kind::Unsigned:
          out.append("integer `");
          appendDecimal(out, value.number.unsignedValue);
          break;
        case JsonNumber::Kind::Negative:
          out.append("integer `");
          appendDecimal(out, value.number.negativeValue);
          break;
        case JsonNumber::Kind::Float: {
          out.append("floating point `");
          char text[FLOAT_TEXT_MAX];
          out.append(text, formatFloat64(value.number.floatValue, text));
          break;
        }
      }
      out.push_back('`');
      return;
    case FoundValue::Kind::String:
      out.append("string ");
      appendQuotedString(out, value.text);
      return;
    case FoundValue::Kind::Sequence:
      out.append("sequence");
      return;
    case FoundValue::Kind::Map:
      out.append("map");
      return;
  }
}

std::string wrongValueText(std::string_view head, const FoundValue& value, std::string_view expected) {
  std::string out(head);
  appendRendering(out, value);
  out.append(", expected ").append(expected);
  return out;
}

std::string quotedName(std::string_view head, std::string_view name) {
  std::string out(head);
  out.push_back('`');
  out.append(name);
  out.push_back('`');
  return out;
}

}  // namespace

std::string renderFoundValue(const FoundValue& value) {
  std::string out;
  appendRendering(out, value);
  return out;
}

std::string invalidTypeText(const FoundValue& value, std::string_view expected) {
  return wrongValueText("invalid type: ", value, expected);
}

std::string invalidValueText(const FoundValue& value, std::string_view expected) {
  return wrongValueText("invalid value: ", value, expected);
}

std::string missingFieldText(std::string_view key) { return quotedName("missing field ", key); }

std::string duplicateFieldText(std::string_view key) { return quotedName("duplicate field ", key); }

std::string unknownVariantText(std::string_view name) {
  std::string out = quotedName("unknown variant ", name);
  out.append(", expected ").append(VARIANT_NAMES);
  return out;
}

std::string invalidLengthText(std::size_t count, std::string_view expected) {
  std::string out("invalid length ");
  appendDecimal(out, count);
  out.append(", expected ").append(expected);
  return out;
}

std::string elementsInSequenceText(std::size_t count) {
  std::string out;
  appendDecimal(out, count);
  out.append(count == 1 ? " element in sequence" : " elements in sequence");
  return out;
}

}  // namespace sidecar::protocol
