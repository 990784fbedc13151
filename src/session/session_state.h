// The main thread's whole session: the configuration the parent gave (absent
// until the first configure), the streaming flag, the time the next periodic
// sample is due, the sampler and the history. Created at start-up, owned by
// the main loop for the whole run and used on the main thread only. Nothing
// here is reset by a later configure except the configuration itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "procinfo/clock.h"
#include "procinfo/platform.h"
#include "sampling/external_process_map.h"
#include "sampling/history_buffer.h"
#include "sampling/sampler.h"

namespace sidecar::session {

/// Shortest and longest periodic sampling interval.
inline constexpr std::chrono::milliseconds MIN_SAMPLE_INTERVAL{250};
inline constexpr std::chrono::milliseconds MAX_SAMPLE_INTERVAL{60000};

/// What configure sets: the watched processes and the sampling period.
struct SessionConfig {
  /// Root of the watched process tree.
  std::uint32_t rootPid = 0;
  /// Further processes to watch, each with the start time it must have.
  sampling::ExternalProcessMap externalProcesses;
  /// Period of periodic sampling; empty: no periodic sampling.
  std::optional<std::chrono::milliseconds> sampleInterval;
};

/// The interval a `sampleIntervalMs` asks for: none for 0, otherwise the
/// value clamped to MIN_SAMPLE_INTERVAL..MAX_SAMPLE_INTERVAL.
std::optional<std::chrono::milliseconds> sampleIntervalFromMs(std::uint64_t sampleIntervalMs);

struct SessionState {
  /// `platform` and `clock` must outlive the state. Nothing is read here.
  SessionState(procinfo::Platform& platform, procinfo::Clock& clock);

  /// The platform the process table lists (through a source of its own).
  procinfo::Platform& platform;
  /// Monotonic time for the schedule, wall time for history reads.
  procinfo::Clock& clock;

  /// Present once configured; replaced whole by every configure.
  std::optional<SessionConfig> config;
  /// Whether periodic samples are written as snapshot messages.
  bool streaming = false;
  /// Monotonic time at which the next periodic sample is due; set only
  /// while `config` has a sample interval.
  std::optional<std::chrono::nanoseconds> nextSampleAt;
  sampling::Sampler sampler;
  sampling::HistoryBuffer history;
};

}  // namespace sidecar::session
