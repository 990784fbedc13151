#include "session/line_text.h"

#include <gtest/gtest.h>

#include <string>

namespace sidecar::session {
namespace {

TEST(LineText, Utf8Validity) {
  struct Row {
    std::string bytes;
    bool valid;
  };
  const Row rows[] = {
      {"", true},
      {"{\"type\":\"shutdown\"}", true},
      {"caf\xC3\xA9", true},                  // U+00E9
      {"\xE2\x82\xAC", true},                 // U+20AC
      {"\xF0\x9F\x98\x80", true},             // U+1F600
      {"\xF4\x8F\xBF\xBF", true},             // U+10FFFF, the largest
      {"\xED\x9F\xBF", true},                 // U+D7FF, just below the surrogates
      {"\xEE\x80\x80", true},                 // U+E000, just above them
      {"\xC3", false},                        // cut off at the end
      {"\xE2\x82", false},                    // cut off at the end
      {"\x80", false},                        // lone continuation byte
      {"\xC0\xAF", false},                    // overlong '/'
      {"\xC1\xBF", false},                    // overlong
      {"\xE0\x80\xAF", false},                // overlong, three bytes
      {"\xF0\x80\x80\xAF", false},            // overlong, four bytes
      {"\xED\xA0\x80", false},                // U+D800, a surrogate
      {"\xED\xBF\xBF", false},                // U+DFFF, a surrogate
      {"\xF4\x90\x80\x80", false},            // U+110000, past the end
      {"\xF5\x80\x80\x80", false},            // lead byte never used
      {"\xFF", false},
      {"ok\xC3(", false},                     // lead byte followed by ASCII
      {"{\"requestId\":\"\xE2\x82\xAC\"}", true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(isValidUtf8(row.bytes), row.valid) << "bytes: " << testing::PrintToString(row.bytes);
  }
}

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
