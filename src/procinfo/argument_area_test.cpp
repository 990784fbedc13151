#include "procinfo/argument_area.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "procinfo/fake/fake_platform.h"

namespace sidecar::procinfo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(LastPathComponentTest, Table) {
  struct Row {
    const char* path;
    const char* last;
  };
  const Row rows[] = {
      {"/usr/bin/ls", "ls"}, {"ls", "ls"},        {"/usr/bin/ls/", "ls"},   {"/usr//bin//ls", "ls"},
      {"/usr/bin/ls/.", "ls"}, {"a/./.", "a"},    {"./ls", "ls"},           {"", ""},
      {"/", ""},             {"//", ""},          {".", ""},                {"./.", ""},
      {"/.", ""},            {"/usr/..", ""},     {"..", ""},               {"a/../b", "b"},
      {"/x/.../", "..."},    {"/a b/c d", "c d"}, {"/a/.hidden", ".hidden"},
  };
  for (const Row& row : rows) EXPECT_EQ(lastPathComponent(row.path), row.last) << "path \"" << row.path << '"';
}

std::string area(std::int32_t count, std::string_view rest) {
  std::string bytes(4, '\0');
  std::memcpy(bytes.data(), &count, 4);
  bytes.append(rest);
  return bytes;
}

TEST(ArgumentAreaTest, ShorterThanFourBytesIsUnreadable) {
  std::string name = "kept";
  std::vector<std::string> arguments = {"kept"};
  EXPECT_FALSE(parseArgumentArea(std::string_view("\1\0\0", 3), true, true, name, arguments));
  EXPECT_EQ(name, "kept");
  EXPECT_THAT(arguments, ElementsAre("kept"));
}

TEST(ArgumentAreaTest, ExactlyFourBytesIsReadButEmpty) {
  std::string name = "x";
  std::vector<std::string> arguments = {"x"};
  EXPECT_TRUE(parseArgumentArea(area(3, ""), true, true, name, arguments));
  EXPECT_EQ(name, "");
  EXPECT_THAT(arguments, IsEmpty());
}

TEST(ArgumentAreaTest, Table) {
  using std::string_literals::operator""s;
  struct Row {
    const char* what;
    std::string bytes;
    const char* name;
    std::vector<std::string> arguments;
  };
  const std::vector<Row> rows = {
      {"plain", makeArgumentArea("/bin/sh", {"sh", "-c", "true"}, {"PATH=/bin"}), "sh", {"sh", "-c", "true"}},
      {"empty argument dropped", makeArgumentArea("/bin/a", {"a", "", "b"}, {"E=1"}), "a", {"a", "b"}},
      {"count 0", area(0, "/bin/x\0\0\0arg\0"s), "x", {}},
      {"negative count", area(-1, "/bin/x\0arg\0"s), "x", {}},
      {"count beyond the end", area(5, "/bin/x\0\0a\0b"s), "x", {"a", "b"}},
      {"path without NUL", area(2, "/bin/x"), "x", {}},
      {"no padding", area(1, "/p/q\0arg\0ENV=1\0"s), "q", {"arg"}},
      {"path with no last component", area(1, "/\0arg\0"s), "", {"arg"}},
      {"count stops before environment", area(1, "/p/q\0\0\0one\0two\0"s), "q", {"one"}},
      // The padding ends 8 bytes on from offset 4; an empty argument there is
      // an argument, and the environment after the count stays out.
      {"empty first argument", area(2, "/p/q\0\0\0\0\0-x\0SECRET_TOKEN=abc\0"s), "q", {"-x"}},
      {"empty first argument, path of 7", area(2, "/bin/sh\0\0-x\0SECRET_TOKEN=abc\0"s), "sh", {"-x"}},
      {"empty first argument, padding of 7", area(2, "/bin/abc\0\0\0\0\0\0\0\0\0-x\0E=1\0"s), "abc", {"-x"}},
      {"built with an empty first argument", makeArgumentArea("/bin/true", {"", "-x"}, {"SECRET_TOKEN=abc"}), "true",
       {"-x"}},
  };
  for (const Row& row : rows) {
    std::string name = "old";
    std::vector<std::string> arguments = {"old", "older", "oldest", "x"};
    EXPECT_TRUE(parseArgumentArea(row.bytes, true, true, name, arguments)) << row.what;
    EXPECT_EQ(name, row.name) << row.what;
    EXPECT_EQ(arguments, row.arguments) << row.what;
  }
}

TEST(ArgumentAreaTest, OnlyWhatIsWantedIsTouched) {
  std::string name = "old";
  std::vector<std::string> arguments = {"old"};
  EXPECT_TRUE(parseArgumentArea(makeArgumentArea("/bin/new", {"new"}), false, false, name, arguments));
  EXPECT_EQ(name, "old");
  EXPECT_THAT(arguments, ElementsAre("old"));
}

TEST(SplitNulSeparatedTest, DropsEmptyStringsAndKeepsAnUnterminatedLast) {
  using std::string_literals::operator""s;
  std::vector<std::string> arguments = {"stale"};
  splitNulSeparated("a\0\0b\0c"s, arguments);
  EXPECT_THAT(arguments, ElementsAre("a", "b", "c"));
  splitNulSeparated("", arguments);
  EXPECT_THAT(arguments, IsEmpty());
  splitNulSeparated("sleep 100 (custom title)"s, arguments);
  EXPECT_THAT(arguments, ElementsAre("sleep 100 (custom title)"));
}

}  // namespace
}  // namespace sidecar::procinfo
