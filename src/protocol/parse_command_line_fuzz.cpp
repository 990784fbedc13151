// libFuzzer target for parseCommandLine. Beyond "no crash and no sanitizer
// report" it checks that every refusal has one of the known description
// forms with a column inside the line, and that every decoded command,
// written again as an object line and as an array line, decodes to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>

#include "protocol/parse_command_line.h"
#include "test_support/protocol/command_line_encoder.h"

namespace {

using sidecar::protocol::parseCommandLine;

bool consume(std::string_view& text, std::string_view prefix) {
  if (text.substr(0, prefix.size()) != prefix) return false;
  text.remove_prefix(prefix.size());
  return true;
}

bool consumeOneOf(std::string_view& text, std::initializer_list<std::string_view> options) {
  for (std::string_view option : options) {
    if (consume(text, option)) return true;
  }
  return false;
}

bool isDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// "`...`" up to the last backtick before `tail`; the text between is free.
bool consumeQuotedUntil(std::string_view& text, std::string_view tail) {
  if (!consume(text, "`")) return false;
  const std::size_t end = text.rfind("`" + std::string(tail));
  if (end == std::string_view::npos) return false;
  text.remove_prefix(end + 1);
  return true;
}

// The rendering of a found value, followed by ", expected ".
bool consumeRendering(std::string_view& text) {
  static constexpr std::string_view EXPECTED = ", expected ";
  if (consumeOneOf(text, {"null, expected ", "sequence, expected ", "map, expected ", "boolean `true`, expected ",
                          "boolean `false`, expected "})) {
    return true;
  }
  if (consume(text, "integer `")) {
    consume(text, "-");
    const std::size_t end = text.find('`');
    if (end == std::string_view::npos || !isDigits(text.substr(0, end))) return false;
    text.remove_prefix(end + 1);
    return consume(text, EXPECTED);
  }
  if (consume(text, "floating point `")) {
    const std::size_t end = text.find('`');
    if (end == std::string_view::npos || end == 0) return false;
    text.remove_prefix(end + 1);
    return consume(text, EXPECTED);
  }
  if (consume(text, "string \"")) {
    // Inside the quotes every quote and backslash is escaped.
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\\') {
        ++i;
      } else if (text[i] == '"') {
        text.remove_prefix(i + 1);
        return consume(text, EXPECTED);
      }
    }
  }
  return false;
}

const std::initializer_list<std::string_view> SYNTAX_TEXTS = {
    "EOF while parsing a list", "EOF while parsing an object", "EOF while parsing a string",
    "EOF while parsing a value", "expected `:`", "expected `,` or `]`", "expected `,` or `}`", "expected ident",
    "expected value", "invalid escape", "invalid number", "number out of range",
    "lone leading surrogate in hex escape", "unexpected end of hex escape",
    "control character (\\u0000-\\u001F) found while parsing a string", "key must be a string", "trailing comma",
    "trailing characters", "recursion limit exceeded"};

const std::initializer_list<std::string_view> FIELD_EXPECTED = {
    "u32", "u64", "a boolean", "a string", "a sequence", "struct ExternalProcess"};

const std::initializer_list<std::string_view> FIELD_NAMES = {
    "`version`", "`rootPid`", "`sampleIntervalMs`", "`externalProcesses`", "`processes`", "`enabled`",
    "`requestId`", "`windowMs`", "`pid`", "`startTimeMs`"};

bool isLineLevel(std::string_view text) {
  for (std::string_view syntax : SYNTAX_TEXTS) {
    if (text == syntax) return true;
  }
  if (text == "missing field `type`" || text == "duplicate field `type`") return true;
  if (consume(text, "unknown variant ")) {
    return consumeQuotedUntil(text, ", expected one of `configure`") &&
           text == ", expected one of `configure`, `setExternalProcesses`, `setSampleInterval`, `setStreaming`, "
                   "`sampleNow`, `processTable`, `readHistory`, `shutdown`";
  }
  return consume(text, "invalid type: ") && consumeRendering(text) &&
         (text == "internally tagged enum Command" || text == "variant identifier");
}

bool isFieldLevel(std::string_view text) {
  if (consumeOneOf(text, {"missing field ", "duplicate field "})) {
    for (std::string_view name : FIELD_NAMES) {
      if (text == name) return true;
    }
    return false;
  }
  if (consume(text, "invalid type: ")) {
    if (!consumeRendering(text)) return false;
    for (std::string_view expected : FIELD_EXPECTED) {
      if (text == expected) return true;
    }
    return false;
  }
  if (consume(text, "invalid value: integer `")) {
    consume(text, "-");
    const std::size_t end = text.find('`');
    if (end == std::string_view::npos || !isDigits(text.substr(0, end))) return false;
    text.remove_prefix(end + 1);
    return text == ", expected u32" || text == ", expected u64";
  }
  if (consume(text, "invalid length ")) {
    const std::size_t end = text.find(',');
    if (end == std::string_view::npos || !isDigits(text.substr(0, end))) return false;
    text.remove_prefix(end);
    if (consume(text, ", expected struct variant Command::") || consume(text, ", expected struct ExternalProcess with ")) {
      return text.find(" element") != std::string_view::npos;
    }
    return consume(text, ", expected ") &&
           (text == "1 element in sequence" || text == "2 elements in sequence" || text == "3 elements in sequence" ||
            text == "4 elements in sequence");
  }
  return false;
}

bool isKnownDescription(std::string_view description, std::size_t lineLength) {
  static constexpr std::string_view AT = " at line 1 column ";
  const std::size_t at = description.rfind(AT);
  if (at != std::string_view::npos && isDigits(description.substr(at + AT.size()))) {
    const std::size_t column = std::strtoull(std::string(description.substr(at + AT.size())).c_str(), nullptr, 10);
    if (column <= lineLength && isLineLevel(description.substr(0, at))) return true;
  }
  return isFieldLevel(description);
}

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  sidecar::protocol::ParseResult result = parseCommandLine(line);
  check(result.command.has_value() == result.error.empty());
  if (!result.command) {
    check(isKnownDescription(result.error, line.size()));
    return 0;
  }
  for (const std::string& again : {sidecar::protocol::testing::encodeCommandObject(*result.command),
                                   sidecar::protocol::testing::encodeCommandArray(*result.command)}) {
    const sidecar::protocol::ParseResult second = parseCommandLine(again);
    check(second.command.has_value() && *second.command == *result.command);
  }
  return 0;
}
