// One sample of the watched processes, as the sampler builds it, the history
// keeps it and the wire carries it. Plain values; copies are independent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/command.h"

namespace sidecar::protocol {

/// Which I/O the two byte counters of a sample cover.
enum class IoSemantics { Storage, AllIo };

/// The wire text of an IoSemantics value: "storage" or "all-io".
const char* ioSemanticsText(IoSemantics semantics);

/// One process of one snapshot. Texts are valid UTF-8 and already cut.
struct ProcessSample {
  std::uint32_t pid = 0;
  std::uint32_t ppid = 0;
  std::uint64_t startTimeMs = 0;
  std::uint64_t runTimeMs = 0;
  std::string name;
  std::string command;
  std::string status;
  float cpuPercent = 0.0F;
  std::uint64_t cpuTimeMs = 0;
  std::uint64_t residentBytes = 0;
  std::uint64_t virtualBytes = 0;
  std::uint64_t ioReadBytes = 0;
  std::uint64_t ioWriteBytes = 0;
  IoSemantics ioSemantics = IoSemantics::Storage;
  bool operator==(const ProcessSample&) const = default;
};

struct Snapshot {
  std::uint32_t version = PROTOCOL_VERSION;
  std::uint64_t sequence = 0;
  std::uint64_t sampledAtUnixMs = 0;
  std::uint64_t collectionDurationMicros = 0;
  std::uint64_t scannedProcessCount = 0;
  std::uint64_t retainedProcessCount = 0;
  std::uint64_t inaccessibleProcessCount = 0;
  /// Present only on the answer to a sampleNow; never kept in the history.
  std::optional<std::string> requestId;
  std::vector<ExternalProcess> externalProcesses;
  std::vector<ProcessSample> processes;
  bool operator==(const Snapshot&) const = default;
};

}  // namespace sidecar::protocol
