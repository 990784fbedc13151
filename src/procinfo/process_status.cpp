#include "procinfo/process_status.h"

#include "procinfo/process_info.h"

namespace sidecar::procinfo {

ProcessState processStateFromStatusCode(std::uint32_t code) {
  using Kind = ProcessState::Kind;
  switch (code) {
    case 1: return ProcessState(Kind::Idle);
    case 2: return ProcessState(Kind::Run);
    case 3: return ProcessState(Kind::Sleep);
    case 4: return ProcessState(Kind::Stop);
    case 5: return ProcessState(Kind::Zombie);
    default: return ProcessState::unknown(code);
  }
}

ProcessState processStateFromStateLetter(char letter) {
  using Kind = ProcessState::Kind;
  switch (letter) {
    case 'R': return ProcessState(Kind::Run);
    case 'S': return ProcessState(Kind::Sleep);
    case 'D': return ProcessState(Kind::UninterruptibleDiskSleep);
    case 'T': return ProcessState(Kind::Stop);
    case 't': return ProcessState(Kind::Tracing);
    case 'Z': return ProcessState(Kind::Zombie);
    case 'X':
    case 'x': return ProcessState(Kind::Dead);
    case 'K': return ProcessState(Kind::Wakekill);
    case 'W': return ProcessState(Kind::Waking);
    case 'P': return ProcessState(Kind::Parked);
    case 'I': return ProcessState(Kind::Idle);
    default: return ProcessState::unknown(static_cast<unsigned char>(letter));
  }
}

// A process whose state is running reports what its thread does now; every
// other process reports its process state (stopped, zombie, idle, ...).
ProcessState reportedStatus(const ProcessInfo& info) {
  using Kind = ProcessState::Kind;
  if (info.processState.kind() != Kind::Run || !info.threadState) return info.processState;
  switch (info.threadState->code) {
    case ThreadState::RUN_STATE_RUNNING: return ProcessState(Kind::Run);
    case ThreadState::RUN_STATE_STOPPED: return ProcessState(Kind::Stop);
    case ThreadState::RUN_STATE_WAITING: return ProcessState(Kind::Sleep);
    case ThreadState::RUN_STATE_UNINTERRUPTIBLE: return ProcessState(Kind::Dead);
    case ThreadState::RUN_STATE_HALTED: return ProcessState(Kind::Parked);
    default: return ProcessState::unknown(static_cast<std::uint32_t>(info.threadState->code));
  }
}

std::string statusText(ProcessState state) {
  using Kind = ProcessState::Kind;
  switch (state.kind()) {
    case Kind::Idle: return "Idle";
    case Kind::Run: return "Run";
    case Kind::Sleep: return "Sleep";
    case Kind::Stop: return "Stop";
    case Kind::Zombie: return "Zombie";
    case Kind::Tracing: return "Tracing";
    case Kind::Dead: return "Dead";
    case Kind::Wakekill: return "Wakekill";
    case Kind::Waking: return "Waking";
    case Kind::Parked: return "Parked";
    case Kind::LockBlocked: return "LockBlocked";
    case Kind::UninterruptibleDiskSleep: return "UninterruptibleDiskSleep";
    case Kind::Suspended: return "Suspended";
    case Kind::Unknown: break;
  }
  return "Unknown(" + std::to_string(state.code()) + ")";
}

}  // namespace sidecar::procinfo
