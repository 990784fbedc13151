#include "sampling/read_history.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "procinfo/fake/fake_clock.h"
#include "protocol/byte_sink.h"
#include "protocol/message_writer.h"

namespace sidecar::sampling {
namespace {

using protocol::Snapshot;

std::vector<std::string> lines(const std::string& bytes) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < bytes.size()) {
    const std::size_t end = bytes.find('\n', start);
    EXPECT_NE(end, std::string::npos) << "unterminated line";
    if (end == std::string::npos) {
      break;
    }
    out.push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

std::size_t count(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (std::size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) {
    ++n;
  }
  return n;
}

class ReadHistoryTest : public ::testing::Test {
 protected:
  std::uint64_t nowMs() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_.wallNow()).count());
  }
  /// Appends `n` snapshots one second apart, the last stamped now.
  void appendSeconds(std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      Snapshot snapshot;
      snapshot.sequence = i + 1;
      snapshot.sampledAtUnixMs = nowMs() - (n - 1 - i) * 1000;
      history_.append(snapshot);
    }
  }
  protocol::IoStatus read(std::uint64_t windowMs, std::string_view requestId) {
    protocol::MessageWriter writer(sink_);
    return answerReadHistory(history_, windowMs, requestId, writer, clock_);
  }

  procinfo::FakeClock clock_;
  HistoryBuffer history_;
  protocol::MemorySink sink_;
};

TEST_F(ReadHistoryTest, NothingSelectedGivesOneEmptyFinalChunk) {
  ASSERT_TRUE(read(60'000, "r1").isOk());
  EXPECT_EQ(sink_.bytes(), R"({"version":3,"type":"historyChunk","requestId":"r1","done":true,"snapshots":[]})"
                           "\n");
}

TEST_F(ReadHistoryTest, CutsTheSelectionIntoChunksOfThirtyTwo) {
  struct Case {
    std::size_t snapshots;
    std::vector<std::size_t> chunkSizes;
  };
  const std::vector<Case> cases = {{0, {0}}, {1, {1}}, {32, {32}}, {33, {32, 1}}, {64, {32, 32}}, {65, {32, 32, 1}}};
  for (const auto& c : cases) {
    history_ = HistoryBuffer();
    sink_.clear();
    appendSeconds(c.snapshots);
    ASSERT_TRUE(read(3'600'000, "req-7").isOk()) << c.snapshots;
    const auto written = lines(sink_.bytes());
    ASSERT_EQ(written.size(), c.chunkSizes.size()) << c.snapshots;
    std::uint64_t nextSequence = 1;
    for (std::size_t i = 0; i < written.size(); ++i) {
      const bool last = i + 1 == written.size();
      const std::string head = std::string(R"({"version":3,"type":"historyChunk","requestId":"req-7","done":)") +
                               (last ? "true" : "false") + R"(,"snapshots":[)";
      EXPECT_EQ(written[i].substr(0, head.size()), head) << c.snapshots << " chunk " << i;
      EXPECT_EQ(count(written[i], R"("type":"snapshot")"), c.chunkSizes[i]) << c.snapshots << " chunk " << i;
      // Oldest first, nothing skipped or repeated across chunks.
      for (std::size_t k = 0; k < c.chunkSizes[i]; ++k, ++nextSequence) {
        EXPECT_NE(written[i].find(R"("sequence":)" + std::to_string(nextSequence) + ","), std::string::npos)
            << c.snapshots << " chunk " << i << " sequence " << nextSequence;
      }
    }
  }
}

TEST_F(ReadHistoryTest, WindowIsCappedAtOneHourAndEndsNow) {
  // The newest snapshot is half an hour old, so the buffer still holds one
  // from 90 minutes ago.
  const std::uint64_t now = nowMs();
  constexpr std::uint64_t MINUTE = 60'000;
  for (const std::uint64_t at : {now - 90 * MINUTE, now - 61 * MINUTE, now - 60 * MINUTE, now - 30 * MINUTE}) {
    Snapshot snapshot;
    snapshot.sampledAtUnixMs = at;
    history_.append(snapshot);
  }
  ASSERT_EQ(history_.size(), 4U);

  struct Case {
    std::uint64_t windowMs;
    std::size_t expected;
  };
  const std::vector<Case> cases = {{0, 0},           {30 * MINUTE - 1, 0}, {30 * MINUTE, 1}, {60 * MINUTE, 2},
                                   {120 * MINUTE, 2}, {UINT64_MAX, 2}};
  for (const Case& c : cases) {
    sink_.clear();
    ASSERT_TRUE(read(c.windowMs, "w").isOk());
    EXPECT_EQ(count(sink_.bytes(), R"("type":"snapshot")"), c.expected) << c.windowMs;
    EXPECT_EQ(lines(sink_.bytes()).size(), 1U) << c.windowMs;
  }

  // windowMs 0 returns what is stamped in the current millisecond.
  Snapshot current;
  current.sampledAtUnixMs = now;
  history_.append(current);
  sink_.clear();
  ASSERT_TRUE(read(0, "w").isOk());
  EXPECT_EQ(count(sink_.bytes(), R"("type":"snapshot")"), 1U);
}

TEST_F(ReadHistoryTest, SnapshotsNewerThanNowAreNotReturned) {
  // Stamped before the wall clock was set back by ten minutes.
  const std::uint64_t now = nowMs();
  for (const std::uint64_t at : {now - 1000, now, now + 1, now + 600'000}) {
    Snapshot snapshot;
    snapshot.sampledAtUnixMs = at;
    history_.append(snapshot);
  }
  ASSERT_TRUE(read(3'600'000, "w").isOk());
  EXPECT_EQ(count(sink_.bytes(), R"("type":"snapshot")"), 2U);
  EXPECT_EQ(sink_.bytes().find(std::to_string(now + 1)), std::string::npos);
}

TEST_F(ReadHistoryTest, SampleNowSnapshotIsReadBackWithoutItsRequestId) {
  Snapshot snapshot;
  snapshot.sequence = 7;
  snapshot.sampledAtUnixMs = nowMs() - 500;
  snapshot.collectionDurationMicros = 1234;
  snapshot.scannedProcessCount = 300;
  snapshot.retainedProcessCount = 1;
  snapshot.requestId = "now-1";
  snapshot.externalProcesses.push_back({20, 1'767'225'000'000});
  protocol::ProcessSample sample;
  sample.pid = 20;
  sample.ppid = 1;
  sample.startTimeMs = 1'767'225'000'000;
  sample.runTimeMs = 600'000;
  sample.name = "worker";
  sample.command = "worker --fast";
  sample.status = "Run";
  sample.cpuPercent = 12.5F;
  sample.cpuTimeMs = 4500;
  sample.residentBytes = 1 << 20;
  sample.virtualBytes = 1 << 30;
  sample.ioReadBytes = 10;
  sample.ioWriteBytes = 20;
  snapshot.processes.push_back(sample);
  history_.append(snapshot);

  ASSERT_TRUE(read(60'000, "r2").isOk());
  EXPECT_EQ(sink_.bytes(),
            R"({"version":3,"type":"historyChunk","requestId":"r2","done":true,"snapshots":[)"
            R"({"version":3,"type":"snapshot","sequence":7,"sampledAtUnixMs":1767225599500,)"
            R"("collectionDurationMicros":1234,"scannedProcessCount":300,"retainedProcessCount":1,)"
            R"("inaccessibleProcessCount":0,"externalProcesses":[{"pid":20,"startTimeMs":1767225000000}],)"
            R"("processes":[{"pid":20,"ppid":1,"startTimeMs":1767225000000,"runTimeMs":600000,)"
            R"("name":"worker","command":"worker --fast","status":"Run","cpuPercent":12.5,"cpuTimeMs":4500,)"
            R"("residentBytes":1048576,"virtualBytes":1073741824,"ioReadBytes":10,"ioWriteBytes":20,)"
            R"("ioSemantics":"storage"}]}]})"
            "\n");
}

/// Accepts everything up to the end of the first line, then fails every
/// write with EPIPE.
class FailAfterFirstLineSink final : public protocol::ByteSink {
 public:
  protocol::WriteOutcome write(const char* data, std::size_t size) override {
    if (bytes_.find('\n') != std::string::npos) {
      return {0, EPIPE};
    }
    bytes_.append(data, size);
    return {size, 0};
  }
  protocol::IoStatus flush() override { return protocol::IoStatus::ok(); }
  std::string bytes_;
};

TEST_F(ReadHistoryTest, StopsAtTheFirstWriteFailure) {
  appendSeconds(96);
  FailAfterFirstLineSink sink;
  protocol::MessageWriter writer(sink);
  const protocol::IoStatus status = answerReadHistory(history_, 3'600'000, "r3", writer, clock_);
  EXPECT_EQ(status.kind(), protocol::IoStatus::Kind::Os);
  EXPECT_EQ(status.osErrorNumber(), EPIPE);
  EXPECT_EQ(lines(sink.bytes_).size(), 1U);
  EXPECT_EQ(count(sink.bytes_, R"("done":false)"), 1U);
}

}  // namespace
}  // namespace sidecar::sampling
