#include "procinfo/linux/proc_files.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace sidecar::procinfo {
namespace {

// A stat line in the kernel's layout: pid (comm) state ppid, then fields 5
// to 52 with utime 14, stime 15, num_threads 20, starttime 22, vsize 23,
// rss 24.
std::string statLine(std::string_view comm, char state = 'S') {
  std::string line = "1234 (" + std::string(comm) + ") " + state + " 77";
  for (int field = 5; field <= 52; ++field) {
    std::uint64_t value = 0;
    if (field == 14) value = 111;
    if (field == 15) value = 222;
    if (field == 20) value = 3;
    if (field == 22) value = 333;
    if (field == 23) value = 444 * 4096;
    if (field == 24) value = 555;
    line += ' ' + std::to_string(value);
  }
  return line + '\n';
}

TEST(ProcStatTest, NamesWithSpacesAndParenthesesEndAtTheLastParenthesis) {
  for (const char* comm : {"sh", "a b", "x) S 1 (y", "((", "))", "", "kworker/0:1H-kb", "tab\tname"}) {
    const std::string line = statLine(comm);
    const auto stat = parseProcStat(line);
    ASSERT_TRUE(stat.has_value()) << comm;
    EXPECT_EQ(stat->comm, std::string_view(comm));
    EXPECT_EQ(stat->state, 'S') << comm;
    EXPECT_EQ(stat->parentPid, 77U) << comm;
    EXPECT_EQ(stat->userTicks, 111U) << comm;
    EXPECT_EQ(stat->systemTicks, 222U) << comm;
    EXPECT_EQ(stat->threadCount, 3U) << comm;
    EXPECT_EQ(stat->startTicks, 333U) << comm;
    EXPECT_EQ(stat->virtualBytes, 444U * 4096) << comm;
    EXPECT_EQ(stat->residentPages, 555U) << comm;
  }
}

TEST(ProcStatTest, BrokenLinesAreUnreadable) {
  const std::string full = statLine("ok");
  const char* rows[] = {"", "1234 ok S 1 2", "1234 (ok S 1", "1234 (ok) S", "1234 (ok) SS 1 2 3"};
  for (const char* row : rows) EXPECT_FALSE(parseProcStat(row).has_value()) << row;
  // Cut before the resident size: unreadable; cut after it: fine.
  const std::size_t rss = full.find(" 555 ");
  EXPECT_FALSE(parseProcStat(full.substr(0, rss)).has_value());
  EXPECT_TRUE(parseProcStat(full.substr(0, rss + 4)).has_value());
}

TEST(ProcStatTest, NumberFieldsAreWholeNumbersAndNegativeOnesReadAsZero) {
  // The user time (111 in statLine) replaced by each text.
  struct Row {
    const char* text;
    std::optional<std::uint64_t> userTicks;  // empty: the line is unreadable
  };
  const Row rows[] = {
      {"0", 0},
      {"18446744073709551615", UINT64_MAX},
      {"-1", 0},
      {"12x", std::nullopt},
      {"x12", std::nullopt},
      {"-", std::nullopt},
      {"18446744073709551616", std::nullopt},
  };
  for (const Row& row : rows) {
    std::string line = statLine("ok");
    line.replace(line.find(" 111 "), 5, std::string(" ") + row.text + " ");
    const auto stat = parseProcStat(line);
    ASSERT_EQ(stat.has_value(), row.userTicks.has_value()) << row.text;
    if (!stat) continue;
    EXPECT_EQ(stat->userTicks, *row.userTicks) << row.text;
    EXPECT_EQ(stat->systemTicks, 222U) << row.text;
    EXPECT_EQ(stat->residentPages, 555U) << row.text;
  }
}

TEST(ProcIoTest, ReadsStorageBytesOnly) {
  const char* text =
      "rchar: 100\nwchar: 200\nsyscr: 3\nsyscw: 4\nread_bytes: 4096\nwrite_bytes: 8192\n"
      "cancelled_write_bytes: 0\n";
  const auto io = parseProcIo(text);
  ASSERT_TRUE(io.has_value());
  EXPECT_EQ(io->bytesRead, 4096U);
  EXPECT_EQ(io->bytesWritten, 8192U);
  EXPECT_FALSE(parseProcIo("rchar: 1\nwchar: 2\n").has_value());
  EXPECT_FALSE(parseProcIo("read_bytes: x\nwrite_bytes: 1\n").has_value());
}

TEST(ProcStatFileTest, ProcessorLinesAndBootTime) {
  const char* text =
      "cpu  900 90 900 9000 90 9 9 9 0 0\n"
      "cpu0 100 10 200 3000 40 5 6 7 0 0\n"
      "cpu1 4294967296 1 2 3\n"
      "cpu3 5 6 7 8 0 0 0 0 0 0\n"
      "intr 12345 1 2\n"
      "ctxt 999\n"
      "btime 1767225600\n"
      "processes 77\n";
  std::vector<ProcessorTicks> ticks = {{9, 9, 9, 9}};
  ASSERT_TRUE(parseProcessorLines(text, ticks));
  ASSERT_EQ(ticks.size(), 3U);
  EXPECT_EQ(ticks[0], (ProcessorTicks{100, 200 + 5 + 6 + 7, 3000 + 40, 10, 0}));
  EXPECT_EQ(ticks[1], (ProcessorTicks{0, 2, 3, 1, 1})) << "cut to 32 bits; missing fields count 0";
  EXPECT_EQ(ticks[2], (ProcessorTicks{5, 7, 8, 6, 3})) << "cpu2 is offline: the number is N of cpuN";
  EXPECT_EQ(parseBootTime(text), 1767225600U);
  EXPECT_FALSE(parseProcessorLines("cpu  1 2 3 4\nintr 1\n", ticks));
  EXPECT_TRUE(ticks.empty());
  EXPECT_FALSE(parseProcessorLines("cpu0 1 2 3 4\ncpu1x 1 2 3 4\n", ticks)) << "a processor name that is not cpuN";
  EXPECT_FALSE(parseBootTime("cpu 1\n").has_value());
}

TEST(ExeLinkTest, DeletedSuffixIsDropped) {
  EXPECT_EQ(withoutDeletedSuffix("/usr/bin/vim (deleted)"), "/usr/bin/vim");
  EXPECT_EQ(withoutDeletedSuffix("/usr/bin/vim"), "/usr/bin/vim");
  EXPECT_EQ(withoutDeletedSuffix(" (deleted)"), "");
  EXPECT_EQ(withoutDeletedSuffix("/a (deleted) b"), "/a (deleted) b");
}

}  // namespace
}  // namespace sidecar::procinfo
