#include "protocol/outgoing_message.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "protocol/byte_sink.h"
#include "protocol/json_writer.h"
#include "protocol/output_buffer.h"

namespace sidecar::protocol {
namespace {

std::string line(const OutgoingMessage& message) {
  MemorySink sink;
  OutputBuffer buffer(sink);
  JsonWriter json(buffer);
  encodeMessage(json, message);
  EXPECT_TRUE(buffer.writeOut().isOk());
  return sink.bytes();
}

ProcessSample sampleOf(std::uint32_t pid, float cpuPercent) {
  ProcessSample sample;
  sample.pid = pid;
  sample.ppid = 1;
  sample.startTimeMs = 1700000000000;
  sample.runTimeMs = 12345;
  sample.name = "node";
  sample.command = "node server.js --port=8080";
  sample.status = "running";
  sample.cpuPercent = cpuPercent;
  sample.cpuTimeMs = 987;
  sample.residentBytes = 52428800;
  sample.virtualBytes = 4294967296;
  sample.ioReadBytes = 4096;
  sample.ioWriteBytes = 0;
  sample.ioSemantics = IoSemantics::Storage;
  return sample;
}

Snapshot snapshotOf(std::vector<ProcessSample> processes) {
  Snapshot snapshot;
  snapshot.sequence = 7;
  snapshot.sampledAtUnixMs = 1700000001000;
  snapshot.collectionDurationMicros = 850;
  snapshot.scannedProcessCount = 412;
  snapshot.retainedProcessCount = processes.size();
  snapshot.inaccessibleProcessCount = 3;
  snapshot.processes = std::move(processes);
  return snapshot;
}

constexpr const char* SNAPSHOT_HEAD =
    R"({"version":3,"type":"snapshot","sequence":7,"sampledAtUnixMs":1700000001000,)"
    R"("collectionDurationMicros":850,"scannedProcessCount":412,"retainedProcessCount":0,)"
    R"("inaccessibleProcessCount":3)";

TEST(OutgoingMessageTest, Greeting) {
  const HelloMessage hello{"0.1.0", 4242, "macos", "aarch64"};
  EXPECT_EQ(line(hello),
            R"({"version":3,"type":"hello","sidecarVersion":"0.1.0","sidecarPid":4242,"platform":"macos",)"
            R"("arch":"aarch64","capabilities":{"cumulativeCpuTime":true,"currentCpuPercent":true,)"
            R"("residentMemory":true,"virtualMemory":true,"ioBytes":true,"processStartTime":true,)"
            R"("processTree":true}})"
            "\n");
}

TEST(OutgoingMessageTest, Errors) {
  struct Row {
    ErrorMessage error;
    const char* expected;
  };
  const Row rows[] = {
      {{ErrorCode::NotConfigured, "configure must be sent before sampling", true},
       R"({"version":3,"type":"error","code":"not-configured","message":"configure must be sent before sampling",)"
       R"("recoverable":true})"
       "\n"},
      {{ErrorCode::ProtocolMismatch, "unsupported protocol version 2", false},
       R"({"version":3,"type":"error","code":"protocol-mismatch","message":"unsupported protocol version 2",)"
       R"("recoverable":false})"
       "\n"},
      {{ErrorCode::InvalidCommand, "unknown variant `foo` at line 1 column \"9\"", true},
       R"({"version":3,"type":"error","code":"invalid-command",)"
       R"("message":"unknown variant `foo` at line 1 column \"9\"","recoverable":true})"
       "\n"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(line(row.error), row.expected) << errorCodeText(row.error.code);
  }
}

TEST(OutgoingMessageTest, EmptyHistoryChunk) {
  EXPECT_EQ(line(HistoryChunkMessage{"r1", true, {}}),
            R"({"version":3,"type":"historyChunk","requestId":"r1","done":true,"snapshots":[]})"
            "\n");
}

TEST(OutgoingMessageTest, PeriodicSnapshotLeavesOutRequestId) {
  const Snapshot snapshot = snapshotOf({});
  EXPECT_EQ(line(SnapshotMessage{snapshot}),
            std::string(SNAPSHOT_HEAD) + R"(,"externalProcesses":[],"processes":[]})" + "\n");
}

TEST(OutgoingMessageTest, SampleNowSnapshotCarriesRequestIdBeforeTheLists) {
  Snapshot snapshot = snapshotOf({});
  snapshot.requestId = "req-\"1\"";
  EXPECT_EQ(line(SnapshotMessage{snapshot}),
            std::string(SNAPSHOT_HEAD) + R"(,"requestId":"req-\"1\"","externalProcesses":[],"processes":[]})" + "\n");
}

TEST(OutgoingMessageTest, SnapshotWithExternalProcessesAndSamples) {
  Snapshot snapshot = snapshotOf({sampleOf(100, 12.5F), sampleOf(101, std::nanf(""))});
  snapshot.retainedProcessCount = 0;  // keep the shared head
  snapshot.processes[1].ioSemantics = IoSemantics::AllIo;
  snapshot.processes[1].name = "caf\xC3\xA9\t/x";
  snapshot.externalProcesses = {{200, 1700000000000}, {201, std::nullopt}};
  EXPECT_EQ(line(SnapshotMessage{snapshot}),
            std::string(SNAPSHOT_HEAD) +
                R"(,"externalProcesses":[{"pid":200,"startTimeMs":1700000000000},{"pid":201,"startTimeMs":null}],)"
                R"("processes":[)"
                R"({"pid":100,"ppid":1,"startTimeMs":1700000000000,"runTimeMs":12345,"name":"node",)"
                R"("command":"node server.js --port=8080","status":"running","cpuPercent":12.5,"cpuTimeMs":987,)"
                R"("residentBytes":52428800,"virtualBytes":4294967296,"ioReadBytes":4096,"ioWriteBytes":0,)"
                R"("ioSemantics":"storage"},)"
                R"({"pid":101,"ppid":1,"startTimeMs":1700000000000,"runTimeMs":12345,"name":"caf)"
                "\xC3\xA9"
                R"(\t/x","command":"node server.js --port=8080","status":"running","cpuPercent":null,"cpuTimeMs":987,)"
                R"("residentBytes":52428800,"virtualBytes":4294967296,"ioReadBytes":4096,"ioWriteBytes":0,)"
                R"("ioSemantics":"all-io"}]})"
                "\n");
}

TEST(OutgoingMessageTest, HistoryChunkElementsAreSnapshotObjectsWithoutRequestId) {
  std::vector<Snapshot> snapshots = {snapshotOf({}), snapshotOf({})};
  const std::string element = std::string(SNAPSHOT_HEAD) + R"(,"externalProcesses":[],"processes":[]})";
  EXPECT_EQ(line(HistoryChunkMessage{"r7", false, snapshots}),
            R"({"version":3,"type":"historyChunk","requestId":"r7","done":false,"snapshots":[)" + element + "," +
                element + "]}\n");
}

TEST(OutgoingMessageTest, ProcessTable) {
  const std::vector<ProcessTableEntry> entries = {{1, 0, "launchd"}, {4242, 1, "side\"car"}};
  EXPECT_EQ(line(ProcessTableMessage{"t1", entries}),
            R"({"version":3,"type":"processTable","requestId":"t1","processes":[)"
            R"({"pid":1,"ppid":0,"name":"launchd"},{"pid":4242,"ppid":1,"name":"side\"car"}]})"
            "\n");
  EXPECT_EQ(line(ProcessTableMessage{"t2", {}}),
            R"({"version":3,"type":"processTable","requestId":"t2","processes":[]})"
            "\n");
}

TEST(OutgoingMessageTest, WireTexts) {
  EXPECT_STREQ(ioSemanticsText(IoSemantics::Storage), "storage");
  EXPECT_STREQ(ioSemanticsText(IoSemantics::AllIo), "all-io");
  EXPECT_STREQ(errorCodeText(ErrorCode::InvalidCommand), "invalid-command");
  EXPECT_STREQ(errorCodeText(ErrorCode::ProtocolMismatch), "protocol-mismatch");
  EXPECT_STREQ(errorCodeText(ErrorCode::NotConfigured), "not-configured");
}

}  // namespace
}  // namespace sidecar::protocol
