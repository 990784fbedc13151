// The commands a parent writes to standard input, one per line, as decoded
// values. A Command owns its strings and lists and is moved whole from the
// reader thread to the main loop.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace sidecar::protocol {

/// Protocol version written into every message and required in every command.
inline constexpr std::uint32_t PROTOCOL_VERSION = 3;

/// A process named by the parent: its pid and, optionally, the start time it
/// expects (milliseconds since the Unix epoch) to guard against reused pids.
struct ExternalProcess {
  std::uint32_t pid = 0;
  std::optional<std::uint64_t> startTimeMs;
  bool operator==(const ExternalProcess&) const = default;
};

struct Configure {
  std::uint32_t version = 0;
  std::uint32_t rootPid = 0;
  std::uint64_t sampleIntervalMs = 0;
  std::vector<ExternalProcess> externalProcesses;
  bool operator==(const Configure&) const = default;
};

struct SetExternalProcesses {
  std::uint32_t version = 0;
  std::vector<ExternalProcess> processes;
  bool operator==(const SetExternalProcesses&) const = default;
};

struct SetSampleInterval {
  std::uint32_t version = 0;
  std::uint64_t sampleIntervalMs = 0;
  bool operator==(const SetSampleInterval&) const = default;
};

struct SetStreaming {
  std::uint32_t version = 0;
  bool enabled = false;
  bool operator==(const SetStreaming&) const = default;
};

struct SampleNow {
  std::uint32_t version = 0;
  std::string requestId;
  bool operator==(const SampleNow&) const = default;
};

struct ProcessTable {
  std::uint32_t version = 0;
  std::string requestId;
  bool operator==(const ProcessTable&) const = default;
};

struct ReadHistory {
  std::uint32_t version = 0;
  std::string requestId;
  std::uint64_t windowMs = 0;
  bool operator==(const ReadHistory&) const = default;
};

struct Shutdown {
  std::uint32_t version = 0;
  bool operator==(const Shutdown&) const = default;
};

using Command = std::variant<Configure, SetExternalProcesses, SetSampleInterval, SetStreaming,
                             SampleNow, ProcessTable, ReadHistory, Shutdown>;

/// The protocol version a command carries, whatever its kind.
inline std::uint32_t commandVersion(const Command& command) {
  return std::visit([](const auto& c) { return c.version; }, command);
}

}  // namespace sidecar::protocol
