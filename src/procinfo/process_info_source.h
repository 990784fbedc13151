// The sidecar's only view of the system's processes: a map from pid to
// ProcessInfo, brought up to date by each refresh. All platform calls go
// through the Platform seam (platform.h). One thread; no errors are reported:
// an unreadable value is 0 or keeps its previous value, an unreadable
// process is absent from the map.
//
// A refresh has two steps. First every listed process gets its basic
// values: parent, start and run time, state, the name when its record is
// built or while the name is still empty, and, where the platform reads them
// with the basic values at no cost of their own, the CPU times and memory
// sizes (taskInfoComesWithBasicInfo; they keep every process's CPU
// baseline current). Records of processes that have gone are removed. Then
// the details that the RefreshSelection asks for (command line, storage
// counters, thread state, and the task information where it was not read
// with the basic values) are read for the processes a picker chooses from
// the refreshed map: the sampler picks the processes it watches, so that a
// sample costs one basic reading per process on the system plus the details
// of the watched ones. A known process that was picked at the previous
// refresh, as most watched processes are, has its details read in step one
// already, in the same visit as its basic values, which is cheaper than a
// second visit; should the picker not choose it this time, those reads were
// merely early. Without a picker every record's details are read so.
//
// Where the platform tells when a process ends (Platform::makeExitWatch), a
// refresh with a picker may leave most processes unread altogether
// (Coverage::changedAndPicked): a known process that nobody watched at the
// previous refresh, that has not ended since and whose parent has not ended
// either keeps its record as it was. Its parent cannot have changed: a
// process gets another parent only when its parent ends. So the selection
// still sees every parent link, and what is read is the listing, the
// watched processes and the processes that are new or have ended (a zombie,
// or a pid now held by another process), with their children. An ended
// process is read once, when its end is reported: a zombie that nobody
// watches is then left unread until the watch reports it released (reaped),
// and any process found on the pid after an end or a release is a new one,
// however close its start is to the old one's. A record left
// unread keeps an old CPU baseline: should its process join the watched set
// at a later refresh that does not read every process (handed by its
// parent's end to a watched process it did not descend from, or below an
// ancestor read at last), its first CPU usage is 0, as a new process's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "procinfo/cpu_accounting.h"
#include "procinfo/platform.h"
#include "procinfo/process_info.h"

namespace sidecar::procinfo {

class ProcessInfoSource {
 public:
  /// Chooses the processes whose details a refresh reads. Called once per
  /// refresh, between the two steps, with the map as the first step left it
  /// (basic values current, gone processes removed; empty after a failed
  /// listing). Appends the chosen pids to `picked` (empty on entry), in any
  /// order; pids without a record are ignored, repeated ones read once.
  using DetailPicker = std::function<void(const ProcessMap& refreshed, std::vector<std::uint32_t>& picked)>;

  /// Which processes a refresh with a picker reads the basic values of.
  enum class Coverage : std::uint8_t {
    /// Every listed process.
    everyProcess,
    /// Only those whose values may have changed in a way the selection
    /// sees, and those picked at the previous refresh (see the top of this
    /// file); every process where the platform cannot tell when one ends.
    changedAndPicked,
  };

  /// A source with nothing loaded. `platform` must outlive the source.
  static ProcessInfoSource new_with_specifics(Platform& platform);

  /// Lists every process of the system, updates known records, builds new
  /// ones and drops those not seen; every record gets the values of
  /// `selection`. Returns the number of listed pids.
  std::size_t refresh_processes_specifics(const RefreshSelection& selection);

  /// The same refresh, but the values of `selection` beyond the basic ones
  /// are read only for the processes `pick` chooses. The values a record
  /// holds for a process not picked are those of the last refresh that read
  /// them (zero or empty if none did). The CPU usage of a process that was
  /// not picked at the previous refresh starts afresh (0) unless the
  /// platform reads task information with the basic values.
  std::size_t refresh_processes_specifics(const RefreshSelection& selection, const DetailPicker& pick,
                                         Coverage coverage = Coverage::everyProcess);

  /// The records after the latest refresh.
  const ProcessMap& processes() const;

 private:
  explicit ProcessInfoSource(Platform& platform);

  std::size_t refresh(const RefreshSelection& selection, const DetailPicker* pick, Coverage coverage);
  /// Step one may leave this known record unread: it is not watched, and
  /// neither it nor its parent has ended since the record was read.
  bool mayLeaveUnread(const ProcessInfo& info) const;
  /// Step one for a record it left unread that the picker chose after all.
  void readLate(std::uint32_t pid, const RefreshSelection& selection);
  /// Starts watching for the end of `pid` before it is read (when there is
  /// an exit watch); whether it is watched.
  bool watchEnd(std::uint32_t pid);
  /// The first step for a known process.
  void updateBasics(ProcessInfo& info, const RefreshSelection& selection);
  /// The first step for a new one: builds its record at the end of
  /// pending_, or none when no name source can be read, unless the basic
  /// information says zombie.
  void buildBasics(std::uint32_t pid, const std::optional<BasicInfo>& basic, const RefreshSelection& selection,
                   bool endWatched);
  /// Moves the records built during step one (pending_) into the map.
  void insertPending();
  /// Removes a record, and the watch over its end.
  ProcessMap::iterator eraseRecord(ProcessMap::iterator record);
  /// Whether the last buildBasics() built a record for `pid`.
  bool builtLast(std::uint32_t pid) const;
  /// The second step for one record of the map.
  void readDetails(ProcessInfo& info, const RefreshSelection& selection);
  /// The task information: CPU values (usage or a new baseline) and memory
  /// sizes as selected.
  void readTask(ProcessInfo& info, const RefreshSelection& selection, bool known);
  /// The thread state (running when the query fails).
  void readThread(ProcessInfo& info);

  Platform* platform_;
  ProcessMap processes_;
  CpuAccounting cpu_;
  // Decided once: the task information is read in the first step, for
  // every process (taskInfoComesWithBasicInfo), and then, where the CPU
  // fallback needs the thread times for it, the thread information too.
  bool taskWithBasics_;
  bool threadWithBasics_;
  // Numbers the refreshes, so that a CPU baseline is known to be the
  // previous refresh's (ProcessInfo::baselineRefresh), and a process picked
  // at the previous refresh is known (ProcessInfo::pickedRefresh).
  std::uint64_t refreshCount_ = 0;
  // This refresh reads every record's details in step one (no picker).
  bool detailsOfAll_ = false;
  // Reused across refreshes: the listed pids, the records built during the
  // pass (inserted after it), the picked pids, a scratch name.
  std::vector<std::uint32_t> pids_;
  std::vector<ProcessInfo> pending_;
  std::vector<std::uint32_t> picked_;
  std::string scratchName_;
  // The watch over process ends, made at the first refresh with a picker
  // (the process table's source never needs one); what it reported at
  // this refresh; the pids read again for it (and their children); the
  // wall-clock seconds of this refresh.
  std::unique_ptr<ExitWatch> exitWatch_;
  bool exitWatchMade_ = false;
  ExitNews news_;
  std::unordered_set<std::uint32_t> lostSet_;
  std::uint64_t now_ = 0;
};

}  // namespace sidecar::procinfo
