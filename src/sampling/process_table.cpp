#include "sampling/process_table.h"

#include <algorithm>

#include "procinfo/process_info_source.h"
#include "sampling/process_sample.h"
#include "sampling/utf8_text.h"

namespace sidecar::sampling {

std::vector<protocol::ProcessTableEntry> buildProcessTable(procinfo::Platform& platform) {
  std::vector<protocol::ProcessTableEntry> table;
  {
    // A source of its own, released before the answer is written.
    auto source = procinfo::ProcessInfoSource::new_with_specifics(platform);
    source.refresh_processes_specifics(procinfo::RefreshSelection::nothing());
    table.reserve(source.processes().size());
    for (const auto& [pid, info] : source.processes()) {
      if (pid == 0) {
        continue;
      }
      table.push_back(protocol::ProcessTableEntry{pid, info.parentPid.value_or(0), toUtf8Cut(info.name, NAME_MAX_BYTES)});
    }
  }
  std::sort(table.begin(), table.end(),
            [](const protocol::ProcessTableEntry& a, const protocol::ProcessTableEntry& b) { return a.pid < b.pid; });
  return table;
}

protocol::IoStatus answerProcessTable(std::string_view requestId, procinfo::Platform& platform,
                                      protocol::MessageWriter& writer) {
  const std::vector<protocol::ProcessTableEntry> table = buildProcessTable(platform);
  return writer.writeMessage(protocol::ProcessTableMessage{requestId, table});
}

}  // namespace sidecar::sampling
