#include "session/main_loop.h"

#include <gtest/gtest.h>
// The reader's header first: it brings in RapidJSON's internal stack without
// clang's pointer-overflow check, which the document parser below uses too.
#include "protocol/json_reader.h"
#include <rapidjson/document.h>

#include <cerrno>
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

// The loop over the fake platform, fed from a channel whose items are all
// queued before the loop starts; with the sending end released, the loop
// ends once it has taken them all.
class MainLoop : public testing::Test {
 protected:
  MainLoop() { platform.addProcess(100, 1, 2000, "app"); }

  void queue(Command command) { ASSERT_TRUE(channel.sender.send(ReaderMessage(std::move(command))).ok()); }

  protocol::IoStatus run() {
    channel.sender.release();
    return runMainLoop(state, writer, channel.receiver);
  }

  // One summary per output line: the type, then the sequence and the
  // request id of snapshots.
  std::vector<std::string> summaries() const {
    std::vector<std::string> out;
    const std::string& bytes = sink.bytes();
    std::size_t start = 0;
    while (start < bytes.size()) {
      const std::size_t end = bytes.find('\n', start);
      rapidjson::Document line;
      line.Parse(bytes.data() + start, end - start);
      std::string summary = line["type"].GetString();
      if (summary == "snapshot") {
        // Appended piece by piece: g++ 12 at -O3 warns wrongly of
        // overlapping copies (-Wrestrict) in " " + std::string(...).
        summary.append(" ").append(std::to_string(line["sequence"].GetUint64()));
        if (line.HasMember("requestId")) summary.append(" ").append(line["requestId"].GetString());
      }
      out.push_back(summary);
      start = end + 1;
    }
    return out;
  }

  procinfo::FakeClock clock;
  procinfo::FakePlatform platform{clock};
  protocol::MemorySink sink;
  protocol::MessageWriter writer{sink};
  SessionState state{platform, clock};
  CommandChannel channel = makeCommandChannel();
};

TEST_F(MainLoop, EndsInOrderWhenTheCommandsRunOut) {
  queue(protocol::ProcessTable{V, "t"});
  queue(protocol::SetStreaming{V, true});
  EXPECT_TRUE(run().isOk());
  EXPECT_EQ(summaries(), std::vector<std::string>{"processTable"});
  EXPECT_TRUE(state.streaming);
}

TEST_F(MainLoop, ADueSampleIsTakenBeforeTheNextQueuedCommand) {
  queue(protocol::SetStreaming{V, true});
  queue(protocol::Configure{V, 100, 1000, {}});
  queue(protocol::SampleNow{V, "n"});
  queue(protocol::ProcessTable{V, "t"});
  EXPECT_TRUE(run().isOk());
  // configure schedules the first periodic sample at once; the sampleNow
  // behind it gets the next number; the schedule is one interval after the
  // end of the periodic sample, so no second periodic sample is due.
  EXPECT_EQ(summaries(), (std::vector<std::string>{"snapshot 1", "snapshot 2 n", "processTable"}));
  EXPECT_EQ(state.history.size(), 2U);
}

TEST_F(MainLoop, PeriodicSamplesAreRecordedButNotWrittenWithStreamingOff) {
  queue(protocol::Configure{V, 100, 250, {}});
  queue(protocol::ReadHistory{V, "h", 60000});
  EXPECT_TRUE(run().isOk());
  EXPECT_EQ(summaries(), std::vector<std::string>{"historyChunk"});
  EXPECT_EQ(state.history.size(), 1U);
}

TEST_F(MainLoop, TheNextSampleIsScheduledOneIntervalAfterTheEndOfThePreviousOne) {
  queue(protocol::Configure{V, 100, 1000, {}});
  const auto configuredAt = clock.monotonicNow();
  EXPECT_TRUE(run().isOk());
  // The periodic sample waited out the 200 ms spacing after configure's
  // refresh; the next one is due an interval after it ended.
  EXPECT_EQ(clock.monotonicNow(), configuredAt + 200ms);
  EXPECT_EQ(state.nextSampleAt, configuredAt + 200ms + 1000ms);
}

TEST_F(MainLoop, ShutdownEndsTheLoopAndLeavesLaterCommandsUnhandled) {
  queue(protocol::Shutdown{2});  // wrong version: answered, not obeyed
  queue(protocol::Shutdown{V});
  queue(protocol::ProcessTable{V, "t"});
  EXPECT_TRUE(run().isOk());
  EXPECT_EQ(summaries(), std::vector<std::string>{"error"});
  EXPECT_EQ(channel.receiver.receiveWithTimeout(0ns).status, ReceiveStatus::Item)
      << "the command behind the shutdown is still queued";
}

TEST_F(MainLoop, AFailedWriteEndsTheLoopWithTheError) {
  queue(protocol::SetStreaming{V, true});
  queue(protocol::Configure{V, 100, 1000, {}});
  queue(protocol::ProcessTable{V, "t"});
  sink.failWith(EPIPE);
  const protocol::IoStatus outcome = run();
  EXPECT_FALSE(outcome.isOk());
  EXPECT_EQ(outcome.osErrorNumber(), EPIPE);
  EXPECT_EQ(state.history.size(), 1U) << "the streamed sample was recorded before its write failed";
}

}  // namespace
}  // namespace sidecar::session
