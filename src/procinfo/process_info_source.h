// The sidecar's only view of the system's processes: a map from pid to
// ProcessInfo, brought up to date by each refresh. All platform calls go
// through the Platform seam (platform.h). One thread; no errors are reported:
// an unreadable value is 0 or keeps its previous value, an unreadable
// process is absent from the map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "procinfo/cpu_accounting.h"
#include "procinfo/platform.h"
#include "procinfo/process_info.h"

namespace sidecar::procinfo {

class ProcessInfoSource {
 public:
  /// A source with nothing loaded. `platform` must outlive the source.
  static ProcessInfoSource new_with_specifics(Platform& platform);

  /// Lists every process of the system, updates known records, builds new
  /// ones and drops those not seen. Returns the number of listed pids.
  std::size_t refresh_processes_specifics(const RefreshSelection& selection);

  /// The records after the latest refresh.
  const ProcessMap& processes() const;

 private:
  explicit ProcessInfoSource(Platform& platform);

  void update(ProcessInfo& info, const RefreshSelection& selection, std::uint64_t now);
  /// Builds a new record at the end of pending_; drops it again when no
  /// name source can be read, unless the basic information says zombie.
  void build(std::uint32_t pid, const std::optional<BasicInfo>& basic, const RefreshSelection& selection,
             std::uint64_t now);

  Platform* platform_;
  ProcessMap processes_;
  CpuAccounting cpu_;
  // Reused across refreshes: the listed pids, the records built during the
  // pass (inserted after it), a scratch name.
  std::vector<std::uint32_t> pids_;
  std::vector<ProcessInfo> pending_;
  std::string scratchName_;
};

}  // namespace sidecar::procinfo
