#include "protocol/outgoing_message.h"

#include "protocol/json_writer.h"

namespace sidecar::protocol {
namespace {

void encodeHello(JsonWriter& json, const HelloMessage& hello) {
  json.beginObject();
  json.fieldU32("version", PROTOCOL_VERSION);
  json.fieldString("type", "hello");
  json.fieldString("sidecarVersion", hello.sidecarVersion);
  json.fieldU32("sidecarPid", hello.sidecarPid);
  json.fieldString("platform", hello.platform);
  json.fieldString("arch", hello.arch);
  // Every kind of value the snapshots carry is supported.
  json.beginObjectField("capabilities");
  json.fieldBool("cumulativeCpuTime", true);
  json.fieldBool("currentCpuPercent", true);
  json.fieldBool("residentMemory", true);
  json.fieldBool("virtualMemory", true);
  json.fieldBool("ioBytes", true);
  json.fieldBool("processStartTime", true);
  json.fieldBool("processTree", true);
  json.endObject();
  json.endObject();
}

void encodeProcessSample(JsonWriter& json, const ProcessSample& sample) {
  json.beginObject();
  json.fieldU32("pid", sample.pid);
  json.fieldU32("ppid", sample.ppid);
  json.fieldU64("startTimeMs", sample.startTimeMs);
  json.fieldU64("runTimeMs", sample.runTimeMs);
  json.fieldString("name", sample.name);
  json.fieldString("command", sample.command);
  json.fieldString("status", sample.status);
  json.fieldFloat32("cpuPercent", sample.cpuPercent);
  json.fieldU64("cpuTimeMs", sample.cpuTimeMs);
  json.fieldU64("residentBytes", sample.residentBytes);
  json.fieldU64("virtualBytes", sample.virtualBytes);
  json.fieldU64("ioReadBytes", sample.ioReadBytes);
  json.fieldU64("ioWriteBytes", sample.ioWriteBytes);
  json.fieldString("ioSemantics", ioSemanticsText(sample.ioSemantics));
  json.endObject();
}

void encodeHistoryChunk(JsonWriter& json, const HistoryChunkMessage& chunk) {
  json.beginObject();
  json.fieldU32("version", PROTOCOL_VERSION);
  json.fieldString("type", "historyChunk");
  json.fieldString("requestId", chunk.requestId);
  json.fieldBool("done", chunk.done);
  json.beginArrayField("snapshots");
  for (const Snapshot& snapshot : chunk.snapshots) {
    json.beginElement();
    encodeSnapshot(json, snapshot);
  }
  json.endArray();
  json.endObject();
}

void encodeProcessTable(JsonWriter& json, const ProcessTableMessage& table) {
  json.beginObject();
  json.fieldU32("version", PROTOCOL_VERSION);
  json.fieldString("type", "processTable");
  json.fieldString("requestId", table.requestId);
  json.beginArrayField("processes");
  for (const ProcessTableEntry& entry : table.processes) {
    json.beginElement();
    json.beginObject();
    json.fieldU32("pid", entry.pid);
    json.fieldU32("ppid", entry.ppid);
    json.fieldString("name", entry.name);
    json.endObject();
  }
  json.endArray();
  json.endObject();
}

void encodeError(JsonWriter& json, const ErrorMessage& error) {
  json.beginObject();
  json.fieldU32("version", PROTOCOL_VERSION);
  json.fieldString("type", "error");
  json.fieldString("code", errorCodeText(error.code));
  json.fieldString("message", error.message);
  json.fieldBool("recoverable", error.recoverable);
  json.endObject();
}

// Overload set for std::visit: the object of each message kind.
struct MessageEncoder {
  JsonWriter& json;
  void operator()(const HelloMessage& hello) const { encodeHello(json, hello); }
  void operator()(const SnapshotMessage& message) const { encodeSnapshot(json, message.snapshot); }
  void operator()(const HistoryChunkMessage& chunk) const { encodeHistoryChunk(json, chunk); }
  void operator()(const ProcessTableMessage& table) const { encodeProcessTable(json, table); }
  void operator()(const ErrorMessage& error) const { encodeError(json, error); }
};

}  // namespace

const char* ioSemanticsText(IoSemantics semantics) {
  switch (semantics) {
    case IoSemantics::Storage:
      return "storage";
    case IoSemantics::AllIo:
      return "all-io";
  }
  return "storage";
}

const char* errorCodeText(ErrorCode code) {
  switch (code) {
    case ErrorCode::InvalidCommand:
      return "invalid-command";
    case ErrorCode::ProtocolMismatch:
      return "protocol-mismatch";
    case ErrorCode::NotConfigured:
      return "not-configured";
  }
  return "invalid-command";
}

void encodeSnapshot(JsonWriter& json, const Snapshot& snapshot) {
  json.beginObject();
  json.fieldU32("version", PROTOCOL_VERSION);
  json.fieldString("type", "snapshot");
  json.fieldU64("sequence", snapshot.sequence);
  json.fieldU64("sampledAtUnixMs", snapshot.sampledAtUnixMs);
  json.fieldU64("collectionDurationMicros", snapshot.collectionDurationMicros);
  json.fieldU64("scannedProcessCount", snapshot.scannedProcessCount);
  json.fieldU64("retainedProcessCount", snapshot.retainedProcessCount);
  json.fieldU64("inaccessibleProcessCount", snapshot.inaccessibleProcessCount);
  // A periodic snapshot has no request id, and then the key is left out.
  if (snapshot.requestId.has_value()) {
    json.fieldString("requestId", *snapshot.requestId);
  }
  json.beginArrayField("externalProcesses");
  for (const ExternalProcess& external : snapshot.externalProcesses) {
    json.beginElement();
    json.beginObject();
    json.fieldU32("pid", external.pid);
    json.fieldOptionalU64("startTimeMs", external.startTimeMs);
    json.endObject();
  }
  json.endArray();
  json.beginArrayField("processes");
  for (const ProcessSample& sample : snapshot.processes) {
    json.beginElement();
    encodeProcessSample(json, sample);
  }
  json.endArray();
  json.endObject();
}

void encodeMessage(JsonWriter& json, const OutgoingMessage& message) {
  std::visit(MessageEncoder{json}, message);
  json.endLine();
}

}  // namespace sidecar::protocol
