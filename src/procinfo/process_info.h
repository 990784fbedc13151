// One process as the process-information source knows it, the map of all of
// them, and the selection of values a refresh reads. Plain values, owned by
// the source; readers copy what they keep.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "procinfo/process_status.h"

namespace sidecar::procinfo {

struct ProcessInfo {
  std::uint32_t pid = 0;
  /// Absent when the platform reports parent 0 or never could tell.
  std::optional<std::uint32_t> parentPid;
  /// Bytes from the operating system; may be empty, need not be UTF-8.
  std::string name;
  /// Arguments in order, empty ones left out; empty unless selected.
  std::vector<std::string> commandLine;
  /// Whole seconds since the Unix epoch; 0 when unknown.
  std::uint64_t startTime = 0;
  /// The start at the platform's finest resolution (BasicInfo::startInstant):
  /// with startTime, what tells this process from a later one on its pid.
  std::uint64_t startInstant = 0;
  /// How many times the source saw the pid pass to another process while it
  /// kept a record for it (the record of the new holder counts one more than
  /// the old one). With startTime and startInstant it tells this process
  /// from an earlier holder of the pid that started within the same clock
  /// tick, which only an exit watch can tell.
  std::uint32_t succession = 0;
  /// Whole seconds from startTime to the latest refresh that saw the process;
  /// 0 when startTime is unknown (0).
  std::uint64_t runTime = 0;
  /// Set when the record is built, and from the latest basic reading at
  /// every refresh on a platform whose state follows it (Linux and macOS;
  /// see Platform::stateFollowsLatestRefresh).
  ProcessState processState = ProcessState::unknown(0);
  /// Absent on a record built in the current refresh.
  std::optional<ThreadState> threadState;
  /// Percent of one processor over the last CPU interval.
  float cpuUsage = 0.0F;
  /// User plus system CPU time since the process started, milliseconds.
  std::uint64_t accumulatedCpuTime = 0;
  std::uint64_t residentMemory = 0;
  std::uint64_t virtualMemory = 0;
  std::uint64_t diskReadBytes = 0;
  std::uint64_t diskWrittenBytes = 0;

  // Internal to the source: the CPU baseline and the refresh that read it
  // (0: none), the refresh that last picked the record for its details,
  // what the details step of the current refresh reads for the record, and
  // the refresh mark.
  std::uint64_t previousUserTime = 0;
  std::uint64_t previousSystemTime = 0;
  std::uint64_t baselineRefresh = 0;
  std::uint64_t pickedRefresh = 0;
  enum class Details : std::uint8_t {
    none,     ///< nothing: not a record this refresh could read
    ofKnown,  ///< a known process, updated by this refresh
    ofNew,    ///< a record built by this refresh from its basic information
  };
  Details pendingDetails = Details::none;
  bool seen = false;
  // The platform tells when this process ends (Platform::makeExitWatch), so
  // that a refresh may leave it unread while nobody watches it, provided the
  // latest reading of the record had its basic information (so its parent
  // is current); and step one of the current refresh left it unread.
  bool endWatched = false;
  bool basicsRead = false;
  bool leftUnread = false;
  // The exit watch reported this process's end and holds it until it is
  // released (reaped): it is neither watched again nor read again while it
  // stays a zombie that nobody watches.
  bool endSeen = false;
  // What the exit watch reported for this record at the current refresh,
  // for step one to act on: the process ended, or the ended process was
  // released and the pid may hold another process.
  enum class ExitNews : std::uint8_t { none, ended, released };
  ExitNews exitNews = ExitNews::none;
};

using ProcessMap = std::unordered_map<std::uint32_t, ProcessInfo>;

/// What a refresh reads beyond the basic values (name, parent, start and run
/// time, states). The sampler turns all four on, for the processes it
/// watches; the process table none.
struct RefreshSelection {
  bool cpu = false;
  bool diskUsage = false;
  bool memory = false;
  bool commandLine = false;

  static constexpr RefreshSelection everything() { return {true, true, true, true}; }
  static constexpr RefreshSelection nothing() { return {}; }
};

}  // namespace sidecar::procinfo
