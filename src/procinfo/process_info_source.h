// The sidecar's only view of the system's processes: a map from pid to
// ProcessInfo, brought up to date by each refresh. All platform calls go
// through the Platform seam (platform.h). One thread; no errors are reported:
// an unreadable value is 0 or keeps its previous value, an unreadable
// process is absent from the map.
#pragma once

#include <cstddef>

#include "procinfo/process_info.h"

namespace sidecar::procinfo {

class Platform;

class ProcessInfoSource {
 public:
  /// A source with nothing loaded. `platform` must outlive the source.
  static ProcessInfoSource new_with_specifics(Platform& platform);

  /// Lists every process of the system, updates known records, builds new
  /// ones and drops those not seen. Returns the number of listed pids.
  std::size_t refresh_processes_specifics(const RefreshSelection& selection);

  /// The records after the latest refresh.
  const ProcessMap& processes() const;
};

}  // namespace sidecar::procinfo
