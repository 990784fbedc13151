#include "session/line_reader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "test_support/session/scripted_input_source.h"

namespace sidecar::session {
namespace {

std::vector<std::string> readAll(InputSource& source, LineReader::Status* last = nullptr, int* errnum = nullptr) {
  LineReader reader(source);
  std::vector<std::string> lines;
  for (;;) {
    LineReader::Result result = reader.next();
    if (result.status != LineReader::Status::Line) {
      if (last != nullptr) {
        *last = result.status;
      }
      if (errnum != nullptr) {
        *errnum = result.errnum;
      }
      return lines;
    }
    lines.push_back(std::move(result.line));
  }
}

TEST(LineReader, SplitsAtLineFeedsWhateverTheReadBoundaries) {
  struct Row {
    std::vector<std::string> chunks;
    std::vector<std::string> lines;
  };
  const Row rows[] = {
      {{}, {}},
      {{"a\n"}, {"a\n"}},
      {{"a\nb\n"}, {"a\n", "b\n"}},
      {{"a", "b", "\n", "c\n"}, {"ab\n", "c\n"}},
      {{"a\nb"}, {"a\n", "b"}},  // last line without line feed
      {{"\n\n"}, {"\n", "\n"}},
      {{"x\r\n", "y\r"}, {"x\r\n", "y\r"}},
  };
  for (const Row& row : rows) {
    ScriptedInputSource source(row.chunks);
    LineReader::Status last = LineReader::Status::Line;
    EXPECT_EQ(readAll(source, &last), row.lines) << "chunks: " << testing::PrintToString(row.chunks);
    EXPECT_EQ(last, LineReader::Status::End);
  }
}

TEST(LineReader, ALineLongerThanTheBufferComesWhole) {
  const std::string longLine(3 * INPUT_BUFFER_SIZE + 17, 'x');
  ScriptedInputSource source({longLine + "\nshort\n"});
  EXPECT_EQ(readAll(source), (std::vector<std::string>{longLine + "\n", "short\n"}));
}

TEST(LineReader, AReadErrorEndsTheLinesAndCarriesTheErrno) {
  ScriptedInputSource source({"one\ntwo-unfinished"}, EIO);
  LineReader::Status last = LineReader::Status::Line;
  int errnum = 0;
  EXPECT_EQ(readAll(source, &last, &errnum), std::vector<std::string>{"one\n"});
  EXPECT_EQ(last, LineReader::Status::Error);
  EXPECT_EQ(errnum, EIO);
}

}  // namespace
}  // namespace sidecar::session
