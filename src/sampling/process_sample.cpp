#include "sampling/process_sample.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "procinfo/argument_collector.h"
#include "procinfo/process_status.h"
#include "sampling/saturating.h"
#include "sampling/utf8_text.h"

namespace sidecar::sampling {
namespace {

// Bytes of an argument worth converting when `room` bytes are left below the
// limit. Every input byte yields at least one output byte, and a character
// has at most four bytes, so whatever starts after the first room + 4 bytes
// lands beyond the cut and cannot change where it falls.
constexpr std::size_t UTF8_MAX_SEQUENCE = 4;

// The source keeps only the first COMMAND_LINE_KEPT_BYTES of the joined
// arguments; joinArguments must never look past them.
static_assert(procinfo::COMMAND_LINE_KEPT_BYTES >= COMMAND_MAX_BYTES + UTF8_MAX_SEQUENCE);

// Appends the arguments to `command` through `append`, separated by single
// spaces, and stops once the command is longer than the limit.
template <typename Append>
void joinArguments(const std::vector<std::string>& arguments, std::string& command, Append append) {
  bool first = true;
  for (const std::string& argument : arguments) {
    if (!first) {
      command += ' ';
    }
    first = false;
    if (command.size() > COMMAND_MAX_BYTES) {
      break;  // the rest would be cut away anyway
    }
    const std::size_t room = COMMAND_MAX_BYTES - command.size();
    append(command, std::string_view(argument).substr(0, room + UTF8_MAX_SEQUENCE));
    if (command.size() > COMMAND_MAX_BYTES) {
      break;
    }
  }
}

std::string commandText(const procinfo::ProcessInfo& info, const std::string& fullName) {
  const std::vector<std::string>& arguments = info.commandLine;
  if (arguments.empty()) {
    return fullName.substr(0, cutLength(fullName, COMMAND_MAX_BYTES));
  }
  // One allocation for the usual case: the arguments, their separators and
  // room for the character that crosses the limit.
  std::size_t total = arguments.size() - 1;
  for (const std::string& argument : arguments) {
    total += argument.size();
  }
  std::string command;
  command.reserve(std::min(total, COMMAND_MAX_BYTES + UTF8_MAX_SEQUENCE));

  // Usually the arguments are valid UTF-8 already: join the bytes and check
  // the whole command in one scan. A space never continues a character, so
  // converting the joined bytes equals converting each argument.
  joinArguments(arguments, command, [](std::string& out, std::string_view bytes) { out.append(bytes); });
  if (!isValidUtf8(command)) {
    command.clear();
    joinArguments(arguments, command, appendUtf8Lossy);
  }
  cutToLimit(command, COMMAND_MAX_BYTES);
  return command;
}

}  // namespace

protocol::ProcessSample makeProcessSample(const procinfo::ProcessInfo& info) {
  protocol::ProcessSample sample;
  sample.pid = info.pid;
  sample.ppid = info.parentPid.value_or(0);
  sample.startTimeMs = saturatingMul(info.startTime, 1000);
  sample.runTimeMs = saturatingMul(info.runTime, 1000);

  const std::string fullName = toUtf8Lossy(info.name);
  sample.command = commandText(info, fullName);
  sample.name = fullName.substr(0, cutLength(fullName, NAME_MAX_BYTES));

  sample.status = procinfo::statusText(procinfo::reportedStatus(info));
  cutToLimit(sample.status, STATUS_MAX_BYTES);
  sample.cpuPercent = info.cpuUsage;
  sample.cpuTimeMs = info.accumulatedCpuTime;
  sample.residentBytes = info.residentMemory;
  sample.virtualBytes = info.virtualMemory;
  sample.ioReadBytes = info.diskReadBytes;
  sample.ioWriteBytes = info.diskWrittenBytes;
  sample.ioSemantics = protocol::IoSemantics::Storage;
  return sample;
}

}  // namespace sidecar::sampling
