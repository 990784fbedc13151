#include "session/handle_command.h"

#include <gtest/gtest.h>
// The reader's header first: it brings in RapidJSON's internal stack without
// clang's pointer-overflow check, which the document parser below uses too.
#include "protocol/json_reader.h"
#include <rapidjson/document.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "procinfo/fake/fake_clock.h"
#include "procinfo/fake/fake_platform.h"
#include "protocol/byte_sink.h"
#include "protocol/message_writer.h"

namespace sidecar::session {
namespace {

using namespace std::chrono_literals;
using protocol::Command;

constexpr std::uint32_t V = protocol::PROTOCOL_VERSION;

// A session over the fake platform, writing into memory.
class Session : public testing::Test {
 protected:
  Session() {
    platform.addProcess(1, 0, 1000, "init");
    platform.addProcess(100, 1, 2000, "app", {"app", "--serve"});
    platform.addProcess(101, 100, 2001, "helper");
  }

  HandleResult handle(Command command) { return handleCommand(state, writer, ReaderMessage(std::move(command))); }
  HandleResult handle(ReaderFailure failure) { return handleCommand(state, writer, ReaderMessage(std::move(failure))); }

  void configure(std::uint32_t rootPid, std::uint64_t intervalMs,
                 std::vector<protocol::ExternalProcess> externals = {}) {
    ASSERT_EQ(handle(protocol::Configure{V, rootPid, intervalMs, std::move(externals)}).outcome,
              HandleOutcome::Continue);
  }

  // The lines written so far, without their line feeds; clears the output.
  std::vector<std::string> takeLines() {
    std::vector<std::string> lines;
    const std::string& bytes = sink.bytes();
    std::size_t start = 0;
    while (start < bytes.size()) {
      const std::size_t end = bytes.find('\n', start);
      EXPECT_NE(end, std::string::npos) << "unterminated output line";
      if (end == std::string::npos) {
        break;
      }
      lines.push_back(bytes.substr(start, end - start));
      start = end + 1;
    }
    sink.clear();
    return lines;
  }

  procinfo::FakeClock clock;
  procinfo::FakePlatform platform{clock};
  protocol::MemorySink sink;
  protocol::MessageWriter writer{sink};
  SessionState state{platform, clock};
};

rapidjson::Document parse(const std::string& line) {
  rapidjson::Document document;
  document.Parse(line.c_str(), line.size());
  EXPECT_FALSE(document.HasParseError()) << line;
  return document;
}

std::string errorLine(const char* code, const std::string& message, bool recoverable) {
  return std::string(R"({"version":3,"type":"error","code":")") + code + R"(","message":")" + message +
         R"(","recoverable":)" + (recoverable ? "true" : "false") + "}";
}

TEST_F(Session, RefusedItemsAreAnsweredWithOneErrorAndChangeNothing) {
  struct Row {
    const char* name;
    ReaderMessage item;
    std::string expected;
  };
  const std::string mismatch2 = "unsupported protocol version 2; expected 3";
  std::vector<Row> rows;
  rows.push_back({"unparsable line", ReaderFailure{"invalid command: expected value at line 1 column 1"},
                  errorLine("invalid-command", "invalid command: expected value at line 1 column 1", true)});
  rows.push_back({"unreadable input",
                  ReaderFailure{"failed reading command stream: stream did not contain valid UTF-8"},
                  errorLine("invalid-command", "failed reading command stream: stream did not contain valid UTF-8",
                            true)});
  rows.push_back({"shutdown of version 2", Command(protocol::Shutdown{2}), errorLine("protocol-mismatch", mismatch2, false)});
  rows.push_back({"configure of version 4", Command(protocol::Configure{4, 100, 1000, {}}),
                  errorLine("protocol-mismatch", "unsupported protocol version 4; expected 3", false)});
  rows.push_back({"setStreaming of version 0", Command(protocol::SetStreaming{0, true}),
                  errorLine("protocol-mismatch", "unsupported protocol version 0; expected 3", false)});
  rows.push_back({"processTable of the largest version", Command(protocol::ProcessTable{4294967295U, "r"}),
                  errorLine("protocol-mismatch", "unsupported protocol version 4294967295; expected 3", false)});
  rows.push_back({"setExternalProcesses unconfigured", Command(protocol::SetExternalProcesses{V, {{100, {}}}}),
                  errorLine("not-configured", "configure must be sent before external processes", true)});
  rows.push_back({"setSampleInterval unconfigured", Command(protocol::SetSampleInterval{V, 1000}),
                  errorLine("not-configured", "configure must be sent before changing the sample interval", true)});
  rows.push_back({"sampleNow unconfigured", Command(protocol::SampleNow{V, "r1"}),
                  errorLine("not-configured", "configure must be sent before sampling", true)});
  rows.push_back({"readHistory unconfigured", Command(protocol::ReadHistory{V, "r1", 60000}),
                  errorLine("not-configured", "configure must be sent before reading history", true)});
  // The version check comes before the configuration check.
  rows.push_back({"sampleNow of version 2 unconfigured", Command(protocol::SampleNow{2, "r1"}),
                  errorLine("protocol-mismatch", mismatch2, false)});

  for (Row& row : rows) {
    const HandleResult result = handleCommand(state, writer, std::move(row.item));
    EXPECT_EQ(result.outcome, HandleOutcome::Continue) << row.name;
    EXPECT_EQ(takeLines(), std::vector<std::string>{row.expected}) << row.name;
    EXPECT_FALSE(state.config.has_value()) << row.name;
    EXPECT_FALSE(state.streaming) << row.name;
    EXPECT_FALSE(state.nextSampleAt.has_value()) << row.name;
    EXPECT_TRUE(state.history.empty()) << row.name;
    EXPECT_EQ(state.sampler.sequence(), 0U) << row.name;
    EXPECT_FALSE(state.sampler.lastRefreshAt().has_value()) << row.name;
  }
}

TEST_F(Session, AWrongVersionIsRefusedAlsoWhenConfigured) {
  configure(100, 1000);
  const auto scheduled = state.nextSampleAt;
  EXPECT_EQ(handle(protocol::SetSampleInterval{2, 0}).outcome, HandleOutcome::Continue);
  EXPECT_EQ(handle(protocol::Shutdown{4}).outcome, HandleOutcome::Continue);
  EXPECT_EQ(takeLines(), (std::vector<std::string>{
                             errorLine("protocol-mismatch", "unsupported protocol version 2; expected 3", false),
                             errorLine("protocol-mismatch", "unsupported protocol version 4; expected 3", false)}));
  EXPECT_EQ(state.nextSampleAt, scheduled);
  EXPECT_EQ(state.config->sampleInterval, 1000ms);
}

TEST(SampleInterval, ZeroMeansNoneAndOtherValuesAreClamped) {
  struct Row {
    std::uint64_t ms;
    std::optional<std::chrono::milliseconds> interval;
  };
  const Row rows[] = {
      {0, std::nullopt},
      {1, 250ms},
      {100, 250ms},
      {249, 250ms},
      {250, 250ms},
      {251, 251ms},
      {1000, 1000ms},
      {60000, 60000ms},
      {60001, 60000ms},
      {100000, 60000ms},
      {std::numeric_limits<std::uint64_t>::max(), 60000ms},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(sampleIntervalFromMs(row.ms), row.interval) << "sampleIntervalMs " << row.ms;
  }
}

TEST_F(Session, ConfigureAndSetSampleIntervalScheduleByTheClampedInterval) {
  configure(100, 100);
  EXPECT_EQ(state.config->sampleInterval, 250ms);
  EXPECT_EQ(state.nextSampleAt, clock.monotonicNow()) << "the first periodic sample is due at once";

  clock.advance(5s);
  ASSERT_EQ(handle(protocol::SetSampleInterval{V, 100000}).outcome, HandleOutcome::Continue);
  EXPECT_EQ(state.config->sampleInterval, 60000ms);
  EXPECT_EQ(state.nextSampleAt, clock.monotonicNow() + 60000ms) << "one full new interval after the command";

  ASSERT_EQ(handle(protocol::SetSampleInterval{V, 0}).outcome, HandleOutcome::Continue);
  EXPECT_FALSE(state.config->sampleInterval.has_value());
  EXPECT_FALSE(state.nextSampleAt.has_value());

  ASSERT_EQ(handle(protocol::SetSampleInterval{V, 251}).outcome, HandleOutcome::Continue);
  EXPECT_EQ(state.nextSampleAt, clock.monotonicNow() + 251ms);
  configure(100, 0);
  EXPECT_FALSE(state.config->sampleInterval.has_value());
  EXPECT_FALSE(state.nextSampleAt.has_value());
  EXPECT_TRUE(takeLines().empty()) << "none of these commands has an answer";
}

TEST_F(Session, ConfigurePrimesTheSamplerAndKeepsTheLastOfRepeatedExternalProcesses) {
  configure(100, 0, {{10, 5000}, {11, std::nullopt}, {10, 7000}});
  const sampling::ExternalProcessMap expected{{10, 7000}, {11, std::nullopt}};
  EXPECT_EQ(state.config->rootPid, 100U);
  EXPECT_EQ(state.config->externalProcesses, expected);
  EXPECT_EQ(state.sampler.lastRefreshAt(), clock.monotonicNow());
  EXPECT_EQ(state.sampler.sequence(), 0U);

  // setExternalProcesses replaces the map and refreshes the sampler for the
  // baseline of the processes it names, but keeps the schedule.
  ASSERT_EQ(handle(protocol::SetSampleInterval{V, 1000}).outcome, HandleOutcome::Continue);
  const auto scheduled = state.nextSampleAt;
  clock.advance(50ms);
  ASSERT_EQ(handle(protocol::SetExternalProcesses{V, {{12, 1}, {12, 2}}}).outcome, HandleOutcome::Continue);
  EXPECT_EQ(state.sampler.lastRefreshAt(), clock.monotonicNow());
  EXPECT_EQ(state.sampler.sequence(), 0U);
  EXPECT_EQ(state.config->externalProcesses, (sampling::ExternalProcessMap{{12, 2}}));
  EXPECT_EQ(state.config->rootPid, 100U);
  EXPECT_EQ(state.config->sampleInterval, 1000ms);
  EXPECT_EQ(state.nextSampleAt, scheduled);
  ASSERT_EQ(handle(protocol::SetExternalProcesses{V, {}}).outcome, HandleOutcome::Continue);
  EXPECT_TRUE(state.config->externalProcesses.empty());
  EXPECT_TRUE(takeLines().empty());
}

TEST_F(Session, StreamingAndProcessTableNeedNoConfiguration) {
  ASSERT_EQ(handle(protocol::SetStreaming{V, true}).outcome, HandleOutcome::Continue);
  EXPECT_TRUE(state.streaming);
  ASSERT_EQ(handle(protocol::ProcessTable{V, "pt-1"}).outcome, HandleOutcome::Continue);
  const std::vector<std::string> lines = takeLines();
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_EQ(lines[0],
            R"({"version":3,"type":"processTable","requestId":"pt-1","processes":[)"
            R"({"pid":1,"ppid":0,"name":"init"},{"pid":100,"ppid":1,"name":"app"},)"
            R"({"pid":101,"ppid":100,"name":"helper"}]})");
  EXPECT_FALSE(state.config.has_value());
  EXPECT_EQ(state.sampler.sequence(), 0U) << "the process table leaves the sampler alone";
}

TEST_F(Session, SampleNowAnswersWithItsRequestIdAndRecordsTheSnapshotWithoutIt) {
  configure(100, 1000);
  const auto scheduled = state.nextSampleAt;
  ASSERT_EQ(handle(protocol::SampleNow{V, "now-1"}).outcome, HandleOutcome::Continue);
  const std::vector<std::string> lines = takeLines();
  ASSERT_EQ(lines.size(), 1U);
  const rapidjson::Document snapshot = parse(lines[0]);
  EXPECT_STREQ(snapshot["type"].GetString(), "snapshot");
  EXPECT_EQ(snapshot["sequence"].GetUint64(), 1U);
  EXPECT_STREQ(snapshot["requestId"].GetString(), "now-1");
  ASSERT_EQ(snapshot["processes"].Size(), 2U);  // the root and its child
  EXPECT_EQ(snapshot["processes"][0]["pid"].GetUint(), 100U);

  EXPECT_EQ(state.nextSampleAt, scheduled) << "sampleNow does not move the schedule";
  ASSERT_EQ(state.history.size(), 1U);
  EXPECT_FALSE(state.history.snapshots().front().requestId.has_value());
  EXPECT_EQ(clock.sleeps(), std::vector<std::chrono::nanoseconds>{200ms})
      << "the sample waits out the spacing after configure's refresh";
}

TEST_F(Session, ASecondConfigureKeepsHistorySequenceAndStreaming) {
  ASSERT_EQ(handle(protocol::SetStreaming{V, true}).outcome, HandleOutcome::Continue);
  configure(100, 1000);
  ASSERT_EQ(handle(protocol::SampleNow{V, "a"}).outcome, HandleOutcome::Continue);
  clock.advance(1s);
  configure(1, 0, {{101, std::nullopt}});
  EXPECT_TRUE(state.streaming);
  EXPECT_EQ(state.history.size(), 1U);
  ASSERT_EQ(handle(protocol::SampleNow{V, "b"}).outcome, HandleOutcome::Continue);
  ASSERT_EQ(handle(protocol::ReadHistory{V, "h", 60000}).outcome, HandleOutcome::Continue);

  const std::vector<std::string> lines = takeLines();
  ASSERT_EQ(lines.size(), 3U);
  EXPECT_EQ(parse(lines[0])["sequence"].GetUint64(), 1U);
  EXPECT_EQ(parse(lines[1])["sequence"].GetUint64(), 2U);
  const rapidjson::Document chunk = parse(lines[2]);
  EXPECT_STREQ(chunk["type"].GetString(), "historyChunk");
  EXPECT_STREQ(chunk["requestId"].GetString(), "h");
  EXPECT_TRUE(chunk["done"].GetBool());
  ASSERT_EQ(chunk["snapshots"].Size(), 2U);
  for (rapidjson::SizeType i = 0; i < 2; ++i) {
    EXPECT_EQ(chunk["snapshots"][i]["sequence"].GetUint64(), i + 1);
    EXPECT_FALSE(chunk["snapshots"][i].HasMember("requestId"));
  }
  // The second configuration watches the whole tree from pid 1.
  EXPECT_EQ(chunk["snapshots"][1]["processes"].Size(), 3U);
}

TEST_F(Session, ReadHistoryRightAfterConfigureAnswersOneEmptyFinalChunk) {
  configure(100, 1000);
  ASSERT_EQ(handle(protocol::ReadHistory{V, "r1", 60000}).outcome, HandleOutcome::Continue);
  EXPECT_EQ(takeLines(), std::vector<std::string>{
                             R"({"version":3,"type":"historyChunk","requestId":"r1","done":true,"snapshots":[]})"});
}

TEST_F(Session, ShutdownEndsTheSessionSilently) {
  const HandleResult result = handle(protocol::Shutdown{V});
  EXPECT_EQ(result.outcome, HandleOutcome::End);
  EXPECT_TRUE(result.status.isOk());
  EXPECT_TRUE(takeLines().empty());
}

TEST_F(Session, AFailedWriteIsReturnedAndTheCommandsEffectStands) {
  configure(100, 1000);
  sink.failWith(EPIPE);

  HandleResult result = handle(protocol::SampleNow{V, "x"});
  EXPECT_EQ(result.outcome, HandleOutcome::Failed);
  EXPECT_EQ(result.status.osErrorNumber(), EPIPE);
  EXPECT_EQ(state.history.size(), 1U) << "the snapshot was recorded before the write failed";

  result = handle(ReaderFailure{"invalid command: x"});
  EXPECT_EQ(result.outcome, HandleOutcome::Failed);
  EXPECT_EQ(result.status.osErrorNumber(), EPIPE);

  for (Command command : {Command(protocol::ProcessTable{V, "t"}), Command(protocol::ReadHistory{V, "h", 1000})}) {
    EXPECT_EQ(handle(std::move(command)).outcome, HandleOutcome::Failed);
  }
  // Commands without an answer cannot fail.
  EXPECT_EQ(handle(protocol::SetStreaming{V, true}).outcome, HandleOutcome::Continue);
  EXPECT_EQ(handle(protocol::Shutdown{V}).outcome, HandleOutcome::End);
}

}  // namespace
}  // namespace sidecar::session
