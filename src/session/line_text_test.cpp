#include "session/line_text.h"

#include <gtest/gtest.h>

#include <string>

namespace sidecar::session {
namespace {

TEST(LineText, StripsTheLineFeedAndOneCarriageReturnBeforeIt) {
  struct Row {
    std::string in;
    std::string out;
  };
  const Row rows[] = {
      {"abc\n", "abc"},   {"abc\r\n", "abc"}, {"abc\r\r\n", "abc\r"}, {"abc\r", "abc\r"},
      {"abc", "abc"},     {"\n", ""},         {"\r\n", ""},           {"", ""},
      {"a\rb\n", "a\rb"},
  };
  for (const Row& row : rows) {
    std::string line = row.in;
    stripLineEnding(line);
    EXPECT_EQ(line, row.out) << "line: " << testing::PrintToString(row.in);
  }
}

TEST(LineText, BlankLinesHoldOnlyUnicodeWhiteSpace) {
  struct Row {
    std::string line;
    bool blank;
  };
  const Row rows[] = {
      {"", true},
      {" \t", true},
      {"\t\n\v\f\r ", true},                 // U+0009..U+000D and U+0020
      {"\xC2\x85", true},                    // U+0085
      {"\xC2\xA0\xC2\xA0", true},            // U+00A0
      {"\xE1\x9A\x80", true},                // U+1680
      {"\xE2\x80\x80\xE2\x80\x8A", true},    // U+2000, U+200A
      {"\xE2\x80\xA8\xE2\x80\xA9", true},    // U+2028, U+2029
      {"\xE2\x80\xAF\xE2\x81\x9F", true},    // U+202F, U+205F
      {"\xE3\x80\x80", true},                // U+3000
      {"\xE2\x80\x8B", false},               // U+200B zero width space: not White_Space
      {"\xE1\xA0\x8E", false},               // U+180E: not White_Space
      {"\xEF\xBB\xBF", false},               // U+FEFF: not White_Space
      {"\x1C", false},                       // information separator: not White_Space
      {" x ", false},
      {"\xC2\xA0{}\xC2\xA0", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(isBlankLine(row.line), row.blank) << "line: " << testing::PrintToString(row.line);
  }
}

}  // namespace
}  // namespace sidecar::session
