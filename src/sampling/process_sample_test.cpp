#include "sampling/process_sample.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "procinfo/argument_collector.h"
#include "sampling/utf8_text.h"

namespace sidecar::sampling {
namespace {

// The command is the arguments joined by spaces, converted and cut as one
// text. A space never continues a character, so converting the joined bytes
// is the reference the per-argument conversion must match.
std::string expectedCommand(const std::vector<std::string>& arguments) {
  std::string joined;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) joined += ' ';
    joined += arguments[i];
  }
  return toUtf8Cut(joined, COMMAND_MAX_BYTES);
}

std::string commandOf(const std::vector<std::string>& arguments, const std::string& name = "proc") {
  procinfo::ProcessInfo info;
  info.name = name;
  info.commandLine = arguments;
  return makeProcessSample(info).command;
}

TEST(ProcessSampleTest, CommandMatchesTheJoinedArgumentsConvertedAndCut) {
  const std::string euro = "\xE2\x82\xAC";
  const std::string emoji = "\xF0\x9F\x98\x80";
  // Tails that put a multi-byte character, an invalid byte, a sequence cut
  // short or a separator across the limit at every offset near it.
  const std::vector<std::string> tails = {emoji + emoji, euro + euro,  "\x80\x80\x80\x80", "\xF0\x9F\x98",
                                          "\xC3",        "\xE2\x82 x", "abc"};
  for (std::size_t before = COMMAND_MAX_BYTES - 8; before <= COMMAND_MAX_BYTES + 2; ++before) {
    for (std::size_t t = 0; t < tails.size(); ++t) {
      const std::vector<std::vector<std::string>> shapes = {
          {std::string(before, 'a') + tails[t] + std::string(50, 'z')},
          {std::string(before, 'a'), tails[t], "next"},
          {std::string(before / 2, 'a'), std::string(before - before / 2 - 1, 'b') + tails[t]},
      };
      for (std::size_t s = 0; s < shapes.size(); ++s) {
        const std::string command = commandOf(shapes[s]);
        EXPECT_EQ(command, expectedCommand(shapes[s])) << "before " << before << " tail " << t << " shape " << s;
        EXPECT_LE(command.size(), COMMAND_MAX_BYTES);
      }
    }
  }
}

// The source keeps only as much of a command line as the command text can
// use; the text must come out byte for byte as from every argument. The
// arguments go in as a NUL-separated area, with empty arguments between and
// in pieces of several sizes, as a reader of /proc/PID/cmdline hands them on.
TEST(ProcessSampleTest, TheKeptPartOfACommandLineGivesTheWholeCommand) {
  const std::string emoji = "\xF0\x9F\x98\x80";
  const std::vector<std::string> tails = {emoji + emoji, "\x80\x80\x80\x80", "\xF0\x9F\x98", "\xC3", "abc"};
  for (std::size_t before = COMMAND_MAX_BYTES - 6; before <= COMMAND_MAX_BYTES + 10; ++before) {
    for (std::size_t t = 0; t < tails.size(); ++t) {
      const std::vector<std::vector<std::string>> shapes = {
          {std::string(before, 'a') + tails[t] + std::string(5000, 'z')},
          {std::string(before, 'a'), "", "", tails[t], "next"},
          {"", std::string(before / 2, 'a'), "", std::string(before - before / 2 - 1, 'b') + tails[t], "", "c"},
          {std::string(before - 1, 'a'), "", tails[t]},
      };
      for (std::size_t s = 0; s < shapes.size(); ++s) {
        std::string area;
        std::vector<std::string> nonEmpty;
        for (const std::string& argument : shapes[s]) {
          area += argument;
          area += '\0';
          if (!argument.empty()) nonEmpty.push_back(argument);
        }
        for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, area.size()}) {
          std::vector<std::string> kept = {"left", "over", "from", "before"};
          procinfo::ArgumentCollector collector(kept);
          for (std::size_t pos = 0; pos < area.size() && collector.take(std::string_view(area).substr(pos, piece));
               pos += piece) {
          }
          collector.finish();
          EXPECT_EQ(commandOf(kept), expectedCommand(nonEmpty))
              << "before " << before << " tail " << t << " shape " << s << " piece " << piece;
        }
      }
    }
  }
}

TEST(ProcessSampleTest, ShortCommandsAreJoinedWithInvalidBytesReplaced) {
  const std::vector<std::vector<std::string>> cases = {
      {"sleep", "100"},
      {"a", "", "b"},
      {"", ""},
      {"bad\xFF", "\xE2\x82", "\xC3\xA9t\xC3\xA9"},
      {std::string(100000, '\x80')},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(commandOf(cases[i]), expectedCommand(cases[i])) << "case " << i;
  }
  EXPECT_EQ(commandOf({"bad\xFF", "x"}), "bad\xEF\xBF\xBD x");
}

TEST(ProcessSampleTest, WithoutArgumentsTheCommandIsTheWholeNameCut) {
  const std::string longName = std::string(COMMAND_MAX_BYTES - 1, 'n') + "\xE2\x82\xAC";
  EXPECT_EQ(commandOf({}, "kworker/0:1"), "kworker/0:1");
  EXPECT_EQ(commandOf({}, "x\xFF"), "x\xEF\xBF\xBD");
  EXPECT_EQ(commandOf({}, longName), std::string(COMMAND_MAX_BYTES - 1, 'n'));
}

}  // namespace
}  // namespace sidecar::sampling
