#include "protocol/parse_command_line.h"

#include <string>
#include <utility>

#include "protocol/command_event_handler.h"
#include "protocol/json_number.h"
#include "protocol/json_reader.h"
#include "protocol/json_syntax_error.h"
#include "protocol/line_stream.h"

namespace sidecar::protocol {
namespace {

// Numbers are handed over as text, so that the decoder reads them exactly;
// the reader stops after the one value, and the decoder checks what follows.
constexpr unsigned READER_FLAGS = rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseStopWhenDoneFlag;

using Reader = rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<>>;
constexpr std::size_t READER_SCRATCH_BYTES = 1024;
constexpr std::size_t READER_STACK_CAPACITY = 256;

bool isJsonWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// One reading pass over `text`, which is the line itself or a copy of it
// with large numbers blanked out. Returns nothing when the reader refused a
// number that is in fact valid, so that the caller reads a blanked copy.
std::optional<ParseResult> readOnce(std::string_view line, std::string_view text) {
  LineStream stream(text);
  CommandEventHandler handler(line, stream);
  // The reader's scratch stack (decoded strings, number texts) starts in a
  // small buffer here and only takes heap memory for long tokens.
  alignas(8) char scratch[READER_SCRATCH_BYTES];
  rapidjson::MemoryPoolAllocator<> pool(scratch, sizeof scratch);
  Reader reader(&pool, READER_STACK_CAPACITY);
  const rapidjson::ParseResult read = reader.Parse<READER_FLAGS>(stream, handler);

  if (!read.IsError()) {
    // The value decoded into a command; only whitespace may follow it.
    for (std::size_t p = stream.Tell(); p < line.size(); ++p) {
      if (!isJsonWhitespace(line[p])) {
        return ParseResult::failure(describeSyntaxFault({SyntaxError::TrailingCharacters, p + 1}));
      }
    }
    return std::move(*handler.outcome());
  }
  if (read.Code() == rapidjson::kParseErrorTermination && handler.outcome()) {
    return std::move(*handler.outcome());
  }
  if (read.Code() == rapidjson::kParseErrorNumberTooBig) {
    // The reader gives up on a zero with a huge exponent and on integers of
    // hundreds of digits; scan the number to its end and judge it here.
    const NumberScan scan = scanJsonNumber(line, read.Offset());
    if (scan.fault) {
      return ParseResult::failure(describeSyntaxFault(*scan.fault));
    }
    if (!readJsonNumber(line.substr(read.Offset(), scan.end - read.Offset()))) {
      return ParseResult::failure(describeSyntaxFault({SyntaxError::NumberOutOfRange, scan.end}));
    }
    return std::nullopt;
  }
  return ParseResult::failure(
      describeSyntaxFault(translateReaderError(line, read.Code(), read.Offset(), handler.lastEventEnd())));
}

}  // namespace

ParseResult parseCommandLine(std::string_view line) {
  if (std::optional<ParseResult> result = readOnce(line, line)) {
    return std::move(*result);
  }
  // Rare: a valid number the reader cannot take. Read a copy in which every
  // number that fits a double is blanked out to an equally long "0.000";
  // the decoder still takes the numbers' values from the original line.
  std::string copy(line);
  neutralizeNumbers(copy);
  if (std::optional<ParseResult> result = readOnce(line, copy)) {
    return std::move(*result);
  }
  return ParseResult::failure(describeSyntaxFault({SyntaxError::NumberOutOfRange, line.size()}));
}

}  // namespace sidecar::protocol
