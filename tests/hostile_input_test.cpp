// Lines that are not what they should be, seen from outside: huge lines,
// deep nesting, NUL bytes, broken surrogate escapes, bytes that are not
// UTF-8 and carriage returns without line feeds. Each must end in one clear
// answer (an invalid-command error or the decoded command's answer), and
// the session must go on, except after bytes that are not UTF-8, which stop
// the reader.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "sidecar_child.h"

namespace sidecar::e2e {
namespace {

std::string invalidCommand(const std::string& description) {
  return R"({"version":3,"type":"error","code":"invalid-command","message":"invalid command: )" + description +
         R"(","recoverable":true})";
}

std::string at(std::size_t column) { return " at line 1 column " + std::to_string(column); }

const std::string TABLE_PREFIX = R"({"version":3,"type":"processTable","requestId":)";

// A started child whose greeting has been read.
class HostileInput : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(child.startError(), "");
    ASSERT_TRUE(child.readLine()) << "no greeting";
  }

  std::vector<std::string> remainingLines(std::chrono::seconds timeout = STEP_TIMEOUT) {
    std::vector<std::string> lines;
    while (std::optional<std::string> line = child.readLine(timeout)) {
      lines.push_back(std::move(*line));
    }
    EXPECT_TRUE(child.outputEnded()) << "standard output did not end in time";
    EXPECT_EQ(child.pendingOutput(), "") << "unterminated last line";
    return lines;
  }

  SidecarChild child;
};

struct HostileLine {
  const char* what;
  std::string line;
  /// The whole answer line, or its beginning when `prefixOnly`.
  std::string answer;
  bool prefixOnly = false;
};

TEST_F(HostileInput, EachLineIsAnsweredOnceAndTheSessionGoesOn) {
  const std::size_t million = 1'000'000;
  const std::string inSkippedMember = R"({"version":3,"type":"shutdown","x":)";
  const std::string nulInString = R"({"version":3,"type":"processTable","requestId":"a)";
  const std::string beforeKey = R"({"version":3,)";
  const std::string requestIdAt = R"({"version":3,"type":"processTable","requestId":")";
  const std::vector<HostileLine> rows = {
      // In the array form the first element is the tag: an array there is
      // refused at its opening bracket, before any depth is read.
      {"a million nested arrays", std::string(million, '['),
       invalidCommand("invalid type: sequence, expected variant identifier" + at(1))},
      {"a million nested arrays in a member", R"({"a":)" + std::string(million, '['),
       invalidCommand("recursion limit exceeded" + at(5 + 127))},
      {"a million nested arrays in a member, closed",
       R"({"a":)" + std::string(million, '[') + std::string(million, ']') + "}",
       invalidCommand("recursion limit exceeded" + at(5 + 127))},
      {"a million nested objects", [&] {
         std::string line;
         for (std::size_t i = 0; i < million; ++i) line += R"({"a":)";
         return line;
       }(),
       invalidCommand("recursion limit exceeded" + at(127 * 5 + 1))},
      // A shutdown whose skipped member nests too deep is no shutdown.
      {"deep nesting in a skipped member", inSkippedMember + std::string(million, '['),
       invalidCommand("recursion limit exceeded" + at(inSkippedMember.size() + 127))},
      {"a raw NUL inside a string", nulInString + std::string(1, '\0') + R"(b"})",
       invalidCommand(R"(control character (\\u0000-\\u001F) found while parsing a string)" +
                      at(nulInString.size() + 1))},
      {"a raw NUL where a key is due", beforeKey + std::string(1, '\0') + R"("type":"shutdown"})",
       invalidCommand("key must be a string" + at(beforeKey.size() + 1))},
      {"a line of one NUL", std::string(1, '\0'), invalidCommand("expected value" + at(1))},
      {"an escaped NUL is a character like any other", requestIdAt + R"(a\u0000b"})",
       TABLE_PREFIX + R"("a\u0000b","processes":[)", true},
      {"a lone trailing surrogate", requestIdAt + R"(\udc00"})",
       invalidCommand("lone leading surrogate in hex escape" + at(requestIdAt.size() + 6))},
      {"a leading surrogate before another escape", requestIdAt + R"(\ud800\u0041"})",
       invalidCommand("lone leading surrogate in hex escape" + at(requestIdAt.size() + 12))},
      {"a leading surrogate at the end of the string", requestIdAt + R"(\ud800"})",
       invalidCommand("unexpected end of hex escape" + at(requestIdAt.size() + 7))},
      {"a surrogate pair is one character", requestIdAt + R"(\ud83d\ude00"})",
       TABLE_PREFIX + "\"\xF0\x9F\x98\x80\",\"processes\":[", true},
  };
  std::string input;
  for (const HostileLine& row : rows) input += row.line + "\n";
  input += R"({"version":3,"type":"shutdown"})" "\n";
  ASSERT_TRUE(child.write(input));
  const std::vector<std::string> lines = remainingLines();
  ASSERT_EQ(lines.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string& got = lines[i];
    if (rows[i].prefixOnly) {
      EXPECT_EQ(got.rfind(rows[i].answer, 0), 0U) << rows[i].what << "\n" << got.substr(0, 300);
    } else {
      EXPECT_EQ(got, rows[i].answer) << rows[i].what;
    }
  }
  EXPECT_EQ(child.waitForExit(), 0);
}

TEST_F(HostileInput, A64MibLineIsOneCommandAndAnUnendedListOfMillionsOneError) {
  const std::size_t size = 64U << 20;
  // An unknown member of 64 MiB is skipped: the command is answered.
  std::string line = R"({"version":3,"type":"processTable","pad":")";
  line.append(size, 'p');
  line += R"(","requestId":"big"})" "\n";
  // A list of eight million numbers that never closes: one syntax error at
  // its last byte.
  std::string numbers = "1,";
  while (numbers.size() < (16U << 20)) numbers += numbers;
  const std::string fragment = R"({"version":3,"type":"processTable","list":[)" + numbers + "1";
  // Generous guards against a hang: sanitizer builds decode 80 MiB slowly,
  // and the reader takes the second line only after decoding the first.
  const std::chrono::seconds guard(240);
  ASSERT_TRUE(child.write(line, guard));
  ASSERT_TRUE(child.write(fragment + "\n", guard));
  line.clear();
  child.closeInput();
  const std::vector<std::string> lines = remainingLines(guard);
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_EQ(lines[0].rfind(TABLE_PREFIX + R"("big","processes":[)", 0), 0U) << lines[0].substr(0, 300);
  EXPECT_EQ(lines[1], invalidCommand("EOF while parsing a list" + at(fragment.size())));
  EXPECT_EQ(child.waitForExit(), 0);
}

// Bytes that are not UTF-8 end the reading: one stream error, then the run
// ends as at the end of input, though the input is still open.
TEST(HostileInputStream, BytesThatAreNotUtf8StopTheReader) {
  struct Row {
    const char* what;
    std::string bytes;
  };
  const std::vector<Row> rows = {
      {"overlong slash C0 AF", "\xC0\xAF"},
      {"overlong three-byte E0 80 AF", "\xE0\x80\xAF"},
      {"encoded surrogate ED A0 80", "\xED\xA0\x80"},
      {"above U+10FFFF F4 90 80 80", "\xF4\x90\x80\x80"},
      {"a lone continuation byte 80", "\x80"},
      {"a sequence cut short E2 82", "\xE2\x82"},
  };
  const std::string streamError =
      R"({"version":3,"type":"error","code":"invalid-command","message":"failed reading command stream: stream did not contain valid UTF-8","recoverable":true})";
  for (const Row& row : rows) {
    SidecarChild fresh;
    ASSERT_EQ(fresh.startError(), "");
    ASSERT_TRUE(fresh.readLine()) << row.what;
    ASSERT_TRUE(fresh.write(R"({"version":3,"type":"processTable","requestId":")" + row.bytes + "\"}\n" +
                            R"({"version":3,"type":"processTable","requestId":"after"})" "\n"))
        << row.what;
    const std::optional<std::string> answer = fresh.readLine();
    EXPECT_EQ(answer.value_or("(none)"), streamError) << row.what;
    EXPECT_FALSE(fresh.readLine()) << row.what << ": a line after the stream error";
    EXPECT_TRUE(fresh.outputEnded()) << row.what;
    EXPECT_EQ(fresh.waitForExit(), 0) << row.what;
  }
}

TEST_F(HostileInput, ACarriageReturnIsNoLineEnd) {
  const std::string table = R"({"version":3,"type":"processTable","requestId":"cr"})";
  const std::string shutdown = R"({"version":3,"type":"shutdown"})";
  // Two commands parted by a CR only are one line: the first value, its CR
  // (JSON whitespace), then trailing characters. The shutdown in it is never
  // decoded, so the session goes on to the next real line.
  ASSERT_TRUE(child.write(table + "\r" + shutdown + "\r\n"));
  // CR-only endings throughout, ended by the end of input: one line again,
  // and the error comes before the end.
  ASSERT_TRUE(child.write(table + "\r" + table + "\r" + table + "\r"));
  child.closeInput();
  const std::vector<std::string> lines = remainingLines();
  EXPECT_EQ(lines, (std::vector<std::string>{invalidCommand("trailing characters" + at(table.size() + 2)),
                                             invalidCommand("trailing characters" + at(table.size() + 2))}));
  EXPECT_EQ(child.waitForExit(), 0);
}

}  // namespace
}  // namespace sidecar::e2e
