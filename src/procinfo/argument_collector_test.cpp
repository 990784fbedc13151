#include "procinfo/argument_collector.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace sidecar::procinfo {
namespace {

std::vector<std::string> collect(std::string_view area, std::size_t piece,
                                 std::size_t limit = std::numeric_limits<std::size_t>::max(),
                                 std::size_t* consumed = nullptr) {
  std::vector<std::string> arguments;
  ArgumentCollector collector(arguments, limit);
  std::size_t pos = 0;
  while (pos < area.size()) {
    const bool more = collector.take(area.substr(pos, piece));
    pos += piece;
    if (!more) break;
  }
  collector.finish();
  if (consumed != nullptr) *consumed = std::min(pos, area.size());
  return arguments;
}

std::size_t joinedLength(const std::vector<std::string>& arguments) {
  std::size_t length = arguments.empty() ? 0 : arguments.size() - 1;
  for (const std::string& argument : arguments) length += argument.size();
  return length;
}

TEST(ArgumentCollectorTest, SplitsAtNulsInAnyPiecesAndLeavesOutEmptyArguments) {
  const std::string_view area("\0sleep\0\0\0030\0last", 15);
  for (const std::size_t piece : {1, 2, 3, 5, 64}) {
    EXPECT_EQ(collect(area, piece), (std::vector<std::string>{"sleep", "\003" "0", "last"})) << piece;
  }
  EXPECT_EQ(collect(area, 4, 2), (std::vector<std::string>{"sleep"})) << "the limit counts empty strings";
  EXPECT_EQ(collect(std::string_view(), 4), std::vector<std::string>{});
}

// What a process does to its arguments bounds what is kept, never the
// size of its argument area.
TEST(ArgumentCollectorTest, KeepsNoMoreThanTheCommandTextCanUse) {
  struct Case {
    const char* what;
    std::string area;
    std::size_t keptArguments;
  };
  const std::string huge(4 * COMMAND_LINE_KEPT_BYTES, 'x');
  std::string tiny;
  for (int i = 0; i < 100'000; ++i) {
    tiny += 'y';
    tiny += '\0';
  }
  std::string mostlyEmpty(1'000'000, '\0');
  mostlyEmpty += "a";
  mostlyEmpty += huge;
  const Case cases[] = {
      {"one huge argument", huge, 1},
      {"many one-byte arguments", tiny, COMMAND_LINE_KEPT_BYTES / 2},
      {"a million empty arguments, then a long one", mostlyEmpty, 1},
  };
  for (const Case& scenario : cases) {
    SCOPED_TRACE(scenario.what);
    std::size_t consumed = 0;
    const std::vector<std::string> kept = collect(scenario.area, 4096, std::numeric_limits<std::size_t>::max(), &consumed);
    // Full: no further argument, not even its separator, fits.
    EXPECT_GE(joinedLength(kept) + 1, COMMAND_LINE_KEPT_BYTES);
    EXPECT_LE(joinedLength(kept), COMMAND_LINE_KEPT_BYTES);
    EXPECT_EQ(kept.size(), scenario.keptArguments);
    EXPECT_LT(consumed, scenario.area.size()) << "reading stops once the text is full";
  }
}

}  // namespace
}  // namespace sidecar::procinfo
