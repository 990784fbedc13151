#include "session/line_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace sidecar::session {
namespace {

// Hands out scripted chunks, one per read (cut to the caller's capacity),
// then an optional error, then end of input.
class ScriptedSource final : public InputSource {
 public:
  explicit ScriptedSource(std::vector<std::string> chunks, int errnumAtEnd = 0)
      : chunks_(std::move(chunks)), errnumAtEnd_(errnumAtEnd) {}

  ReadOutcome read(char* buffer, std::size_t capacity) override {
    ++reads_;
    if (next_ < chunks_.size()) {
      std::string& chunk = chunks_[next_];
      const std::size_t count = std::min(capacity, chunk.size() - offset_);
      std::memcpy(buffer, chunk.data() + offset_, count);
      offset_ += count;
      if (offset_ == chunk.size()) {
        ++next_;
        offset_ = 0;
      }
      return ReadOutcome{count, 0};
    }
    if (errnumAtEnd_ != 0) {
      return ReadOutcome{0, errnumAtEnd_};
    }
    return ReadOutcome{0, 0};
  }

  int reads() const { return reads_; }

 private:
  std::vector<std::string> chunks_;
  int errnumAtEnd_;
  std::size_t next_ = 0;
  std::size_t offset_ = 0;
  int reads_ = 0;
};

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
    ScriptedSource source(row.chunks);
    LineReader::Status last = LineReader::Status::Line;
    EXPECT_EQ(readAll(source, &last), row.lines) << "chunks: " << testing::PrintToString(row.chunks);
    EXPECT_EQ(last, LineReader::Status::End);
  }
}

TEST(LineReader, ALineLongerThanTheBufferComesWhole) {
  const std::string longLine(3 * INPUT_BUFFER_SIZE + 17, 'x');
  ScriptedSource source({longLine + "\nshort\n"});
  EXPECT_EQ(readAll(source), (std::vector<std::string>{longLine + "\n", "short\n"}));
}

TEST(LineReader, AReadErrorEndsTheLinesAndCarriesTheErrno) {
  ScriptedSource source({"one\ntwo-unfinished"}, EIO);
  LineReader::Status last = LineReader::Status::Line;
  int errnum = 0;
  EXPECT_EQ(readAll(source, &last, &errnum), std::vector<std::string>{"one\n"});
  EXPECT_EQ(last, LineReader::Status::Error);
  EXPECT_EQ(errnum, EIO);
}

}  // namespace
}  // namespace sidecar::session
