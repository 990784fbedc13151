#include "session/command_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "protocol/parse_command_line.h"
#include "test_support/session/scripted_input_source.h"

namespace sidecar::session {
namespace {

using namespace std::chrono_literals;
using protocol::Command;

const std::string SHUTDOWN = R"({"version":3,"type":"shutdown"})";
const std::string STREAM_ON = R"({"version":3,"type":"setStreaming","enabled":true})";
const std::string INVALID_UTF8 = std::string("failed reading command stream: stream did not contain valid UTF-8");

ReaderMessage command(Command c) { return ReaderMessage(std::move(c)); }
ReaderMessage failure(std::string text) { return ReaderMessage(ReaderFailure{std::move(text)}); }
ReaderMessage invalid(const std::string& line) {
  return failure("invalid command: " + protocol::parseCommandLine(line).error);
}

// Drains the receiver until it reports disconnected (bounded by a timeout).
std::vector<ReaderMessage> drain(CommandReceiver& receiver) {
  std::vector<ReaderMessage> items;
  for (;;) {
    ReceiveResult<ReaderMessage> result = receiver.receiveWithTimeout(5s);
    if (result.status != ReceiveStatus::Item) {
      EXPECT_EQ(result.status, ReceiveStatus::Disconnected);
      return items;
    }
    items.push_back(std::move(*result.item));
  }
}

std::string describe(const std::vector<ReaderMessage>& items) {
  std::string text;
  for (const ReaderMessage& item : items) {
    if (const auto* f = std::get_if<ReaderFailure>(&item)) {
      text += "failure(" + f->text + ") ";
    } else {
      text += "command#" + std::to_string(std::get<Command>(item).index()) + " ";
    }
  }
  return text;
}

TEST(CommandReader, TurnsEachNonBlankLineIntoOneItem) {
  struct Row {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<ReaderMessage> expected;
  };
  const Row rows[] = {
      {"empty input", {}, {}},
      {"blank lines of every kind", {"\n", "\r\n", " \t \n", "\xC2\xA0\xE3\x80\x80\n"}, {}},
      {"line feed", {SHUTDOWN + "\n"}, {command(protocol::Shutdown{3})}},
      {"carriage return and line feed", {SHUTDOWN + "\r\n" + STREAM_ON + "\r\n"},
       {command(protocol::Shutdown{3}), command(protocol::SetStreaming{3, true})}},
      {"last line with a carriage return and no line feed", {SHUTDOWN + "\r"}, {command(protocol::Shutdown{3})}},
      {"line split over reads", {SHUTDOWN.substr(0, 7), SHUTDOWN.substr(7) + "\n"},
       {command(protocol::Shutdown{3})}},
      {"two objects on one line", {SHUTDOWN + SHUTDOWN + "\n", STREAM_ON + "\n"},
       {invalid(SHUTDOWN + SHUTDOWN), command(protocol::SetStreaming{3, true})}},
      {"no-break space around a command", {"\xC2\xA0" + SHUTDOWN + "\n", SHUTDOWN + "\xC2\xA0\n"},
       {invalid("\xC2\xA0" + SHUTDOWN), invalid(SHUTDOWN + "\xC2\xA0")}},
      {"not JSON", {"hello\n"}, {invalid("hello")}},
      {"invalid UTF-8 stops the reader", {SHUTDOWN + "\n", "{\"x\":\"\xFF\"}\n", STREAM_ON + "\n"},
       {command(protocol::Shutdown{3}), failure(INVALID_UTF8)}},
  };
  for (const Row& row : rows) {
    CommandChannel channel = makeCommandChannel();
    ScriptedInputSource source(row.chunks);
    runCommandReader(source, std::move(channel.sender));
    const std::vector<ReaderMessage> items = drain(channel.receiver);
    EXPECT_EQ(items, row.expected) << row.name << ": got " << describe(items);
  }
}

TEST(CommandReader, AReadErrorIsReportedOnceAndStopsTheReader) {
  CommandChannel channel = makeCommandChannel();
  ScriptedInputSource source({STREAM_ON + "\n"}, EIO);
  runCommandReader(source, std::move(channel.sender));
  const std::vector<ReaderMessage> items = drain(channel.receiver);
  const std::vector<ReaderMessage> expected = {
      command(protocol::SetStreaming{3, true}),
      failure("failed reading command stream: input/output error: Input/output error (os error 5)")};
  EXPECT_EQ(items, expected) << describe(items);
}

TEST(CommandReader, StopsAtTheFirstFailedSend) {
  CommandChannel channel = makeCommandChannel();
  channel.receiver.release();
  std::vector<std::string> chunks(100, SHUTDOWN + "\n");
  ScriptedInputSource source(chunks);
  runCommandReader(source, std::move(channel.sender));
  EXPECT_EQ(source.reads(), 1);
}

TEST(CommandReader, ALineOfSeveralMegabytesIsDecodedWhole) {
  // An unknown key with a long value is skipped by the decoder.
  const std::string line = R"({"version":3,"type":"sampleNow","padding":")" + std::string(3 << 20, 'p') +
                           R"(","requestId":"r-long"})";
  CommandChannel channel = makeCommandChannel();
  ScriptedInputSource source({line + "\n"});
  runCommandReader(source, std::move(channel.sender));
  const std::vector<ReaderMessage> expected = {command(protocol::SampleNow{3, "r-long"})};
  EXPECT_EQ(drain(channel.receiver), expected);
}

TEST(CommandReader, TheStartedThreadReadsAPipeUntilItsEnd) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  CommandChannel channel = makeCommandChannel();
  std::optional<ReaderStartError> error =
      startCommandReader(std::move(channel.sender), std::make_unique<FdInputSource>(fds[0]));
  ASSERT_FALSE(error.has_value()) << error->message;

  // More lines than the channel holds: the reader blocks until we drain.
  std::string input;
  for (int i = 0; i < 100; ++i) {
    input += R"({"version":3,"type":"sampleNow","requestId":")" + std::to_string(i) + "\"}\n";
  }
  std::size_t written = 0;
  while (written < input.size()) {
    const ssize_t n = write(fds[1], input.data() + written, input.size() - written);
    ASSERT_GT(n, 0);
    written += static_cast<std::size_t>(n);
  }
  close(fds[1]);
  const std::vector<ReaderMessage> items = drain(channel.receiver);
  ASSERT_EQ(items.size(), 100U);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(items[static_cast<std::size_t>(i)], command(protocol::SampleNow{3, std::to_string(i)}));
  }
  // The reader has stopped (disconnected was seen); its descriptor is ours.
  close(fds[0]);
}

}  // namespace
}  // namespace sidecar::session
