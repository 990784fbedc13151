// The five kinds of message the sidecar writes. Each record is built by its
// caller just before it is written and only borrows its strings and lists.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <variant>

#include "protocol/snapshot.h"

namespace sidecar::protocol {

class JsonWriter;

struct HelloMessage {
  std::string_view sidecarVersion;
  std::uint32_t sidecarPid = 0;
  std::string_view platform;
  std::string_view arch;
};

struct SnapshotMessage {
  const Snapshot& snapshot;
};

struct HistoryChunkMessage {
  std::string_view requestId;
  bool done = false;
  std::span<const Snapshot> snapshots;
};

/// One row of the process table.
struct ProcessTableEntry {
  std::uint32_t pid = 0;
  std::uint32_t ppid = 0;
  std::string name;
  bool operator==(const ProcessTableEntry&) const = default;
};

struct ProcessTableMessage {
  std::string_view requestId;
  std::span<const ProcessTableEntry> processes;
};

enum class ErrorCode { InvalidCommand, ProtocolMismatch, NotConfigured };

/// The wire text of an error code, e.g. "not-configured".
const char* errorCodeText(ErrorCode code);

struct ErrorMessage {
  ErrorCode code = ErrorCode::InvalidCommand;
  std::string_view message;
  /// False only for protocol-mismatch.
  bool recoverable = true;
};

using OutgoingMessage =
    std::variant<HelloMessage, SnapshotMessage, HistoryChunkMessage, ProcessTableMessage, ErrorMessage>;

/// Writes the snapshot object (no line feed) through `json`. Used for the
/// snapshot message and for each element of a history chunk.
void encodeSnapshot(JsonWriter& json, const Snapshot& snapshot);

/// Writes one whole message: the object and its terminating line feed.
void encodeMessage(JsonWriter& json, const OutgoingMessage& message);

}  // namespace sidecar::protocol
