#include "sampling/process_sample.h"

#include <string>

#include "procinfo/process_status.h"
#include "sampling/saturating.h"
#include "sampling/utf8_text.h"

namespace sidecar::sampling {
namespace {

std::string commandText(const procinfo::ProcessInfo& info, const std::string& fullName) {
  if (info.commandLine.empty()) {
    return fullName.substr(0, cutLength(fullName, COMMAND_MAX_BYTES));
  }
  std::string command;
  bool first = true;
  for (const std::string& argument : info.commandLine) {
    if (!first) {
      command += ' ';
    }
    first = false;
    command += toUtf8Lossy(argument);
    if (command.size() > COMMAND_MAX_BYTES) {
      break;  // the rest would be cut away anyway
    }
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
