#include "protocol/message_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace sidecar::protocol {
namespace {

constexpr char NOT_CONFIGURED_LINE[] =
    R"({"version":3,"type":"error","code":"not-configured","message":"configure must be sent before sampling",)"
    R"("recoverable":true})"
    "\n";

ErrorMessage notConfigured() { return {ErrorCode::NotConfigured, "configure must be sent before sampling", true}; }

// A process table whose line is far longer than the writer's buffer.
std::vector<ProcessTableEntry> bigTable(std::size_t entries) {
  std::vector<ProcessTableEntry> table;
  for (std::size_t i = 0; i < entries; ++i) {
    table.push_back({static_cast<std::uint32_t>(i + 1), 1, "process-name-" + std::string(20, 'a' + i % 26)});
  }
  return table;
}

struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    read = fds[0];
    write = fds[1];
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  void closeRead() {
    if (read >= 0) ::close(read);
    read = -1;
  }
  void closeWrite() {
    if (write >= 0) ::close(write);
    write = -1;
  }
};

std::string readAll(int fd) {
  std::string bytes;
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
      bytes.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      return bytes;
    }
  }
}

TEST(MessageWriterTest, LongMessageArrivesOverAPipeAsOneLine) {
  Pipe pipe;
  std::string received;
  std::thread reader([&] { received = readAll(pipe.read); });

  const std::vector<ProcessTableEntry> table = bigTable(5000);
  {
    FdSink sink(pipe.write);
    MessageWriter writer(sink);
    ASSERT_TRUE(writer.writeMessage(ProcessTableMessage{"t1", table}).isOk());
    ASSERT_TRUE(writer.writeMessage(notConfigured()).isOk());
  }
  pipe.closeWrite();
  reader.join();

  ASSERT_GT(received.size(), 200U * 1024U);
  EXPECT_EQ(std::count(received.begin(), received.end(), '\n'), 2);
  const std::size_t firstEnd = received.find('\n');
  const std::string head = R"({"version":3,"type":"processTable","requestId":"t1","processes":[{)";
  EXPECT_EQ(received.substr(0, head.size()), head);
  EXPECT_EQ(received.substr(firstEnd - 4, 5), "\"}]}\n");
  EXPECT_EQ(received.substr(firstEnd + 1), NOT_CONFIGURED_LINE);
}

// A non-blocking standard output (the flag is inherited with the open file)
// whose reader has paused: the writer waits for room instead of failing, and
// the reader gets every line whole once it reads again.
TEST(MessageWriterTest, NonBlockingPipeThatIsFullWaitsForTheReader) {
  Pipe pipe;
  ASSERT_EQ(::fcntl(pipe.write, F_SETFL, ::fcntl(pipe.write, F_GETFL) | O_NONBLOCK), 0);
  // Fill the pipe so that the first write of the writer would block.
  std::string filler;
  const std::string block(4096, 'f');
  while (::write(pipe.write, block.data(), block.size()) > 0) {
    filler += block;
  }
  ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);

  const std::vector<ProcessTableEntry> table = bigTable(5000);
  IoStatus first = IoStatus::writeZero();
  IoStatus second = IoStatus::writeZero();
  std::thread writerThread([&] {
    FdSink sink(pipe.write);
    MessageWriter writer(sink);
    first = writer.writeMessage(ProcessTableMessage{"t1", table});
    second = writer.writeMessage(notConfigured());
    writer.close();
    pipe.closeWrite();
  });
  const std::string received = readAll(pipe.read);
  writerThread.join();

  EXPECT_TRUE(first.isOk()) << first.describe();
  EXPECT_TRUE(second.isOk()) << second.describe();
  ASSERT_GT(received.size(), filler.size());
  EXPECT_EQ(received.substr(0, filler.size()), filler);
  const std::string lines = received.substr(filler.size());
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2);
  EXPECT_EQ(lines.rfind(R"({"version":3,"type":"processTable","requestId":"t1","processes":[{)", 0), 0U);
  EXPECT_EQ(lines.substr(lines.find('\n') + 1), NOT_CONFIGURED_LINE);
}

TEST(MessageWriterTest, EachLineIsCompleteWhenWriteMessageReturns) {
  MemorySink sink;
  MessageWriter writer(sink);
  const std::vector<ProcessTableEntry> table = bigTable(1000);
  ASSERT_TRUE(writer.writeMessage(ProcessTableMessage{"t1", table}).isOk());
  ASSERT_FALSE(sink.bytes().empty());
  EXPECT_EQ(sink.bytes().back(), '\n');
  EXPECT_EQ(std::count(sink.bytes().begin(), sink.bytes().end(), '\n'), 1);
  sink.clear();
  ASSERT_TRUE(writer.writeMessage(notConfigured()).isOk());
  EXPECT_EQ(sink.bytes(), NOT_CONFIGURED_LINE);
}

TEST(MessageWriterTest, ClosedReadEndIsABrokenPipe) {
  signal(SIGPIPE, SIG_IGN);
  Pipe pipe;
  pipe.closeRead();
  FdSink sink(pipe.write);
  MessageWriter writer(sink);
  const IoStatus status = writer.writeMessage(notConfigured());
  ASSERT_EQ(status.kind(), IoStatus::Kind::Os);
  EXPECT_EQ(status.osErrorNumber(), EPIPE);
  EXPECT_EQ(status.describe().rfind("broken pipe: ", 0), 0U) << status.describe();
  EXPECT_NE(status.describe().find("(os error " + std::to_string(EPIPE) + ")"), std::string::npos);
  // The failure stays: nothing more is attempted.
  EXPECT_EQ(writer.writeMessage(notConfigured()).osErrorNumber(), EPIPE);
}

TEST(MessageWriterTest, ClosedDescriptorDiscardsOutputWithoutError) {
  Pipe pipe;
  const int closedFd = pipe.write;
  pipe.closeWrite();
  FdSink sink(closedFd);
  MessageWriter writer(sink);
  EXPECT_TRUE(writer.writeMessage(notConfigured()).isOk());
}

// A sink that follows a script: before each write it may interrupt, accept
// only a few bytes, or accept nothing.
class ScriptedSink final : public ByteSink {
 public:
  enum class Mode { OneByteAtATime, InterruptEveryOtherCall, AcceptNothing };
  explicit ScriptedSink(Mode mode) : mode_(mode) {}

  WriteOutcome write(const char* data, std::size_t size) override {
    ++calls_;
    switch (mode_) {
      case Mode::OneByteAtATime:
        bytes_.append(data, 1);
        return {1, 0};
      case Mode::InterruptEveryOtherCall:
        if (calls_ % 2 == 1) {
          return {0, EINTR};
        }
        bytes_.append(data, size);
        return {size, 0};
      case Mode::AcceptNothing:
        return {0, 0};
    }
    return {0, 0};
  }
  IoStatus flush() override {
    ++flushes_;
    return IoStatus::ok();
  }

  const std::string& bytes() const { return bytes_; }
  int flushes() const { return flushes_; }

 private:
  Mode mode_;
  std::string bytes_;
  int calls_ = 0;
  int flushes_ = 0;
};

TEST(MessageWriterTest, PartialAndInterruptedWritesStillDeliverTheWholeLine) {
  const std::vector<ProcessTableEntry> table = bigTable(400);
  MemorySink reference;
  {
    MessageWriter writer(reference);
    ASSERT_TRUE(writer.writeMessage(ProcessTableMessage{"t1", table}).isOk());
  }
  ASSERT_GT(reference.bytes().size(), MessageWriter::BUFFER_SIZE);

  for (const auto mode : {ScriptedSink::Mode::OneByteAtATime, ScriptedSink::Mode::InterruptEveryOtherCall}) {
    ScriptedSink sink(mode);
    MessageWriter writer(sink);
    ASSERT_TRUE(writer.writeMessage(ProcessTableMessage{"t1", table}).isOk()) << static_cast<int>(mode);
    EXPECT_EQ(sink.bytes(), reference.bytes()) << static_cast<int>(mode);
    EXPECT_EQ(sink.flushes(), 1) << static_cast<int>(mode);
  }
}

TEST(MessageWriterTest, ZeroByteWriteFails) {
  ScriptedSink sink(ScriptedSink::Mode::AcceptNothing);
  MessageWriter writer(sink);
  const IoStatus status = writer.writeMessage(notConfigured());
  EXPECT_EQ(status.kind(), IoStatus::Kind::WriteZero);
  EXPECT_EQ(status.describe(), "failed to write the buffered data");
  EXPECT_EQ(sink.flushes(), 0);
}

TEST(MessageWriterTest, CloseWritesOutWhatAFailureLeftBehindOnce) {
  MemorySink sink;
  {
    MessageWriter writer(sink);
    sink.failWith(EAGAIN);
    EXPECT_EQ(writer.writeMessage(notConfigured()).osErrorNumber(), EAGAIN);
    EXPECT_TRUE(sink.bytes().empty());
    sink.failWith(0);
    writer.close();
    EXPECT_EQ(sink.bytes(), NOT_CONFIGURED_LINE);
    writer.close();
  }
  // Neither the second close nor the destructor writes anything again.
  EXPECT_EQ(sink.bytes(), NOT_CONFIGURED_LINE);
}

TEST(IoStatusTest, Descriptions) {
  EXPECT_EQ(IoStatus::writeZero().describe(), "failed to write the buffered data");
  EXPECT_EQ(IoStatus::osError(EPIPE).describe(),
            "broken pipe: " + std::string(std::strerror(EPIPE)) + " (os error " + std::to_string(EPIPE) + ")");
  EXPECT_EQ(IoStatus::osError(EISDIR).describe(),
            "is a directory: " + std::string(std::strerror(EISDIR)) + " (os error " + std::to_string(EISDIR) + ")");
  EXPECT_EQ(IoStatus::osError(EXDEV).describe(),
            "other error: " + std::string(std::strerror(EXDEV)) + " (os error " + std::to_string(EXDEV) + ")");
}

}  // namespace
}  // namespace sidecar::protocol
