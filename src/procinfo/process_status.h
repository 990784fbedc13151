// The status of a process: the state read when its record was built, the
// state of its thread at the latest refresh, the rule that combines them into
// the status reported to the parent, and the text of each status.
#pragma once

#include <cstdint>
#include <string>

namespace sidecar::procinfo {

class ProcessState {
 public:
  enum class Kind {
    Idle, Run, Sleep, Stop, Zombie, Tracing, Dead, Wakekill, Waking, Parked,
    LockBlocked, UninterruptibleDiskSleep, Suspended, Unknown,
  };

  constexpr ProcessState() = default;
  constexpr explicit ProcessState(Kind kind) : kind_(kind) {}
  static constexpr ProcessState unknown(std::uint32_t code) { return ProcessState(Kind::Unknown, code); }

  constexpr Kind kind() const { return kind_; }
  /// The raw code of an Unknown state; 0 for every other kind.
  constexpr std::uint32_t code() const { return code_; }
  bool operator==(const ProcessState&) const = default;

 private:
  constexpr ProcessState(Kind kind, std::uint32_t code) : kind_(kind), code_(code) {}
  Kind kind_ = Kind::Unknown;
  std::uint32_t code_ = 0;
};

/// The run state of a process's thread, as the platform's raw signed code.
/// On macOS: 1 running, 2 stopped, 3 waiting, 4 uninterruptible, 5 halted.
/// The constants carry names of our own: the system headers define the
/// platform's names for these codes (TH_STATE_*) as macros.
struct ThreadState {
  static constexpr std::int32_t RUN_STATE_RUNNING = 1;
  static constexpr std::int32_t RUN_STATE_STOPPED = 2;
  static constexpr std::int32_t RUN_STATE_WAITING = 3;
  static constexpr std::int32_t RUN_STATE_UNINTERRUPTIBLE = 4;
  static constexpr std::int32_t RUN_STATE_HALTED = 5;
  std::int32_t code = RUN_STATE_RUNNING;
  bool operator==(const ThreadState&) const = default;
};

/// The macOS process status (pbi_status): 1 Idle, 2 Run, 3 Sleep, 4 Stop,
/// 5 Zombie, any other code n Unknown(n).
ProcessState processStateFromStatusCode(std::uint32_t code);

/// The Linux state letter of /proc/PID/stat: R Run, S Sleep,
/// D UninterruptibleDiskSleep, T Stop, t Tracing, Z Zombie, X and x Dead,
/// K Wakekill, W Waking, P Parked, I Idle, any other letter Unknown(its code).
ProcessState processStateFromStateLetter(char letter);

struct ProcessInfo;

/// The state reported for a process (see the .cpp for the rule).
ProcessState reportedStatus(const ProcessInfo& info);

/// "Run", "Sleep", ..., "Unknown(7)". Never longer than 24 bytes.
std::string statusText(ProcessState state);

}  // namespace sidecar::procinfo
