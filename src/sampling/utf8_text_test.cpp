#include "sampling/utf8_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sidecar::sampling {
namespace {

const std::string FFFD = "\xEF\xBF\xBD";

struct ConversionCase {
  const char* label;
  std::string input;
  std::string expected;
};

TEST(Utf8TextTest, ReplacesEveryMaximalIllFormedSubpart) {
  const std::vector<ConversionCase> cases = {
      {"empty", "", ""},
      {"ascii", "bash -c 'ls'", "bash -c 'ls'"},
      {"valid 2/3/4-byte", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"edges of the range", "\xC2\x80\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF",
       "\xC2\x80\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF"},
      {"stray continuation", "a\x80z", "a" + FFFD + "z"},
      {"two stray continuations", "\x80\xBF", FFFD + FFFD},
      {"lead C0 (overlong)", "\xC0\xAF", FFFD + FFFD},
      {"lead C1 (overlong)", "\xC1\xBF", FFFD + FFFD},
      {"E0 overlong", "\xE0\x80\xAF", FFFD + FFFD + FFFD},
      {"F0 overlong", "\xF0\x8F\xBF\xBF", FFFD + FFFD + FFFD + FFFD},
      {"surrogate D800", "\xED\xA0\x80", FFFD + FFFD + FFFD},
      {"above U+10FFFF", "\xF4\x90\x80\x80", FFFD + FFFD + FFFD + FFFD},
      {"F5 lead", "\xF5\x80\x80\x80", FFFD + FFFD + FFFD + FFFD},
      {"FF byte", "x\xFFy", "x" + FFFD + "y"},
      {"truncated 2-byte at end", "ab\xC3", "ab" + FFFD},
      {"truncated 3-byte at end", "\xE2\x82", FFFD},
      {"truncated 4-byte at end", "\xF0\x9F\x98", FFFD},
      {"truncated 4-byte before ascii", "\xF0\x9F\x98" "A", FFFD + "A"},
      {"truncated 3-byte before valid", "\xE2\x82\xC3\xA9", FFFD + "\xC3\xA9"},
      {"lead then lead", "\xC3\xC3\xA9", FFFD + "\xC3\xA9"},
      {"long ascii run then invalid", "0123456789abcdef\x80", "0123456789abcdef" + FFFD},
      {"invalid then long valid run", "\xFF" "0123456789abcdef\xC3\xA9", FFFD + "0123456789abcdef\xC3\xA9"},
      {"nul bytes kept", std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(toUtf8Lossy(c.input), c.expected) << c.label;
  }
}

struct CutCase {
  const char* label;
  std::string text;
  std::size_t limit;
  std::size_t expectedLength;
};

TEST(Utf8TextTest, CutsAtCharacterBoundaries) {
  const std::string euro = "\xE2\x82\xAC";       // 3 bytes
  const std::string emoji = "\xF0\x9F\x98\x80";  // 4 bytes
  const std::vector<CutCase> cases = {
      {"shorter than limit", "abc", 10, 3},
      {"exactly the limit", "abc", 3, 3},
      {"ascii over", "abcdef", 4, 4},
      {"limit 0", "abc", 0, 0},
      {"limit 0 multibyte", euro, 0, 0},
      {"limit inside first char", euro, 2, 0},
      {"limit after first char", euro + euro, 3, 3},
      {"limit inside second char", euro + euro, 5, 3},
      {"limit one byte into emoji", "a" + emoji, 2, 1},
      {"limit three bytes into emoji", "a" + emoji, 4, 1},
      {"limit at emoji end", "a" + emoji + "b", 5, 5},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cutLength(c.text, c.limit), c.expectedLength) << c.label;
    std::string cut = c.text;
    cutToLimit(cut, c.limit);
    EXPECT_EQ(cut, c.text.substr(0, c.expectedLength)) << c.label;
  }
}

TEST(Utf8TextTest, LongNamesAreCutWithoutSplittingCharacters) {
  // 2,000 bytes of two-byte characters preceded by one ASCII byte: every
  // even limit falls inside a character.
  std::string name = "x";
  for (int i = 0; i < 1000; ++i) {
    name += "\xC3\xA9";
  }
  const std::string cut = toUtf8Cut(name, 1024);
  EXPECT_EQ(cut.size(), 1023U);
  EXPECT_EQ(toUtf8Lossy(cut), cut);  // still valid

  // Invalid bytes are replaced before cutting: each one becomes three bytes.
  const std::string invalid(10, '\xFF');
  EXPECT_EQ(toUtf8Cut(invalid, 8), FFFD + FFFD);
  EXPECT_EQ(toUtf8Cut(invalid, 100).size(), 30U);
}

TEST(Utf8TextTest, TellsWellFormedUtf8) {
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

}  // namespace
}  // namespace sidecar::sampling
