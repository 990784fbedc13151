// Test support: the refresh strategy the sidecar used before the selective
// refresh, kept as the reference of the differential test
// (selective_refresh_differential_test.cpp) and nowhere else. The source
// reads every value of every listed process at every refresh, and the
// sampler selects the watched processes afterwards. The code is that of
// ProcessInfoSource::refresh_processes_specifics and Sampler::takeSnapshot
// as they were, unchanged but for names and for the later mends of the
// record rules (a zombie keeps its record without a name source, a process
// that turns zombie takes that state, an unknown start gives no run time,
// and an unreadable task keeps the last CPU time and sizes), which both
// strategies share. Header-only; not part of the
// library.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "procinfo/clock.h"
#include "procinfo/cpu_accounting.h"
#include "procinfo/platform.h"
#include "procinfo/process_info.h"
#include "protocol/snapshot.h"
#include "sampling/clock_reading.h"
#include "sampling/external_process_map.h"
#include "sampling/process_sample.h"
#include "sampling/process_selection.h"
#include "sampling/sampler.h"
#include "sampling/saturating.h"

namespace sidecar::sampling::testing {

/// The process-information source that reads everything for everyone.
class FullRefreshSource {
 public:
  explicit FullRefreshSource(procinfo::Platform& platform) : platform_(&platform), cpu_(platform) {
    processes_.reserve(224);
  }

  const procinfo::ProcessMap& processes() const { return processes_; }

  std::size_t refresh(const procinfo::RefreshSelection& selection) {
    if (!platform_->listPids(pids_)) {
      // Nothing was confirmed, so nothing survives: the map is empty until a
      // listing succeeds again, and every CPU baseline starts afresh.
      processes_.clear();
      return 0;
    }
    const auto wall = std::chrono::duration_cast<std::chrono::seconds>(platform_->clock().wallNow()).count();
    const std::uint64_t now = wall < 0 ? 0 : static_cast<std::uint64_t>(wall);
    if (cpu_.hasProcessorCounters()) cpu_.measureInterval();

    pending_.clear();
    for (const std::uint32_t pid : pids_) {
      const auto known = processes_.find(pid);
      if (known != processes_.end()) {
        update(known->second, selection, now);
      } else {
        build(pid, platform_->basicInfo(pid), selection, now);
      }
    }
    // New records go in after the pass; one built for a reused pid replaces
    // the old record.
    for (procinfo::ProcessInfo& info : pending_) {
      const std::uint32_t pid = info.pid;
      processes_.insert_or_assign(pid, std::move(info));
    }
    pending_.clear();

    for (auto it = processes_.begin(); it != processes_.end();) {
      if (!it->second.seen) {
        it = processes_.erase(it);
      } else {
        it->second.seen = false;
        ++it;
      }
    }
    return pids_.size();
  }

  void update(procinfo::ProcessInfo& info, const procinfo::RefreshSelection& selection, std::uint64_t now) {
    const std::uint32_t pid = info.pid;
    const std::optional<procinfo::BasicInfo> basic = platform_->basicInfo(pid);
    if (basic && (basic->startSeconds != info.startTime || basic->startInstant != info.startInstant)) {
      // The pid now belongs to another process, perhaps one that started
      // within the same second. Until a record for it can be
      // built, the old one stays, nameless, so that it is not reported under
      // a name that is no longer its own.
      info.seen = true;
      info.name.clear();
      build(pid, basic, selection, now);
      return;
    }
    if (basic) {
      info.parentPid = parentOf(*basic);
      if (platform_->stateFollowsLatestRefresh() || basic->state.kind() == procinfo::ProcessState::Kind::Zombie) {
        info.processState = basic->state;
      }
      const bool read =
          platform_->readNameAndArguments(pid, info.name.empty(), selection.commandLine, info.name, info.commandLine);
      if (!read && info.name.empty()) platform_->readNameFromPath(pid, info.name);
    } else {
      scratchName_.clear();
      if (!platform_->readNameFromPath(pid, scratchName_)) return;  // not seen: removed
      if (info.name.empty()) info.name.swap(scratchName_);
      platform_->readNameAndArguments(pid, info.name.empty(), selection.commandLine, info.name, info.commandLine);
    }

    if (selection.diskUsage) {
      if (const std::optional<procinfo::DiskCounters> disk = platform_->diskCounters(pid)) {
        info.diskReadBytes = disk->bytesRead;
        info.diskWrittenBytes = disk->bytesWritten;
      }
    }

    const std::optional<procinfo::ThreadInfo> thread = platform_->threadInfo(pid);
    info.threadState =
        procinfo::ThreadState{thread ? thread->runState : procinfo::ThreadState::RUN_STATE_RUNNING};

    info.runTime = secondsSince(info.startTime, now);

    if (selection.cpu || selection.memory) {
      const std::optional<procinfo::TaskInfo> reading = platform_->taskInfo(pid);
      if (!reading) {
        // Unreadable: the last CPU time and sizes stay.
        if (selection.cpu) {
          info.cpuUsage = 0.0F;
          info.previousUserTime = 0;
          info.previousSystemTime = 0;
        }
      } else {
        if (selection.cpu) cpu_.updateCpu(info, *reading);
        // An exited process whose sizes read 0 keeps the sizes it had.
        const bool exitedWithoutSizes = info.processState.kind() == procinfo::ProcessState::Kind::Zombie &&
                                        reading->residentSize == 0 && reading->virtualSize == 0;
        if (selection.memory && !exitedWithoutSizes) {
          info.residentMemory = reading->residentSize;
          info.virtualMemory = reading->virtualSize;
        }
      }
    }
    info.seen = true;
  }

  void build(std::uint32_t pid, const std::optional<procinfo::BasicInfo>& basic,
             const procinfo::RefreshSelection& selection, std::uint64_t now) {
    procinfo::ProcessInfo& info = pending_.emplace_back();
    info.pid = pid;
    info.seen = true;
    if (!basic) {
      // Only a name can be had; everything else keeps its initial value.
      if (!platform_->readNameFromPath(pid, info.name)) pending_.pop_back();
      return;
    }
    info.parentPid = parentOf(*basic);
    info.startTime = basic->startSeconds;
    info.startInstant = basic->startInstant;
    info.runTime = secondsSince(info.startTime, now);
    info.processState = basic->state;
    if (!platform_->readNameAndArguments(pid, true, selection.commandLine, info.name, info.commandLine) &&
        !platform_->readNameFromPath(pid, info.name) &&
        info.processState.kind() != procinfo::ProcessState::Kind::Zombie) {
      pending_.pop_back();
      return;
    }
    if (selection.cpu || selection.memory) {
      const std::optional<procinfo::TaskInfo> reading = platform_->taskInfo(pid);
      // Unreadable: nothing to keep, the initial values stay.
      if (reading) {
        if (selection.cpu) {
          cpu_.baselineCpu(info, *reading);
        } else {
          info.previousUserTime = reading->totalUser;
          info.previousSystemTime = reading->totalSystem;
        }
        if (selection.memory) {
          info.residentMemory = reading->residentSize;
          info.virtualMemory = reading->virtualSize;
        }
      }
    }
    if (selection.diskUsage) {
      if (const std::optional<procinfo::DiskCounters> disk = platform_->diskCounters(pid)) {
        info.diskReadBytes = disk->bytesRead;
        info.diskWrittenBytes = disk->bytesWritten;
      }
    }
  }

 private:
  static std::optional<std::uint32_t> parentOf(const procinfo::BasicInfo& basic) {
    if (basic.parentPid == 0) return std::nullopt;
    return basic.parentPid;
  }

  static std::uint64_t secondsSince(std::uint64_t start, std::uint64_t now) {
    return start == 0 || start > now ? 0 : now - start;
  }

  procinfo::Platform* platform_;
  procinfo::ProcessMap processes_;
  procinfo::CpuAccounting cpu_;
  std::vector<std::uint32_t> pids_;
  std::vector<procinfo::ProcessInfo> pending_;
  std::string scratchName_;
};

/// The sampler on that source: refresh everything, then select.
class FullRefreshSampler {
 public:
  FullRefreshSampler(procinfo::Platform& platform, procinfo::Clock& clock) : clock_(clock), source_(platform) {}

  /// Refreshes, and selects as the sampler's prime does, so that the
  /// external processes are first matched at the same refresh.
  void prime(std::uint32_t rootPid, const ExternalProcessMap& externals) {
    refresh();
    select(rootPid, externals);
  }

  protocol::Snapshot takeSnapshot(std::uint32_t rootPid, const ExternalProcessMap& externals,
                                  std::optional<std::string> requestId) {
    waitForSpacing();
    const std::chrono::nanoseconds start = clock_.monotonicNow();
    refresh();

    const procinfo::ProcessMap& processes = source_.processes();
    ProcessSelection selection = select(rootPid, externals);

    std::vector<std::uint32_t> selected(selection.selectedPids.begin(), selection.selectedPids.end());
    std::sort(selected.begin(), selected.end());
    protocol::Snapshot snapshot;
    snapshot.processes.reserve(selected.size());
    for (const std::uint32_t pid : selected) {
      const auto found = processes.find(pid);
      if (found != processes.end()) {
        snapshot.processes.push_back(makeProcessSample(found->second));
      }
    }

    if (sequence_ < std::numeric_limits<std::uint64_t>::max()) {
      ++sequence_;
    }
    snapshot.version = protocol::PROTOCOL_VERSION;
    snapshot.sequence = sequence_;
    snapshot.sampledAtUnixMs = wallUnixMs(clock_);
    snapshot.collectionDurationMicros = elapsedMicros(start, clock_.monotonicNow());
    snapshot.scannedProcessCount = processes.size();
    snapshot.retainedProcessCount = snapshot.processes.size();
    snapshot.inaccessibleProcessCount = saturatingSub(selection.selectedPids.size(), snapshot.processes.size());
    if (processes.empty()) {
      // Nothing could be listed: the root and the externals, each pid once.
      snapshot.inaccessibleProcessCount = externals.size() + (externals.count(rootPid) == 0 ? 1 : 0);
    }
    snapshot.requestId = std::move(requestId);
    snapshot.externalProcesses = std::move(selection.externalProcesses);
    return snapshot;
  }

  const FullRefreshSource& source() const { return source_; }
  /// The pids selected at the latest refresh.
  const std::unordered_set<std::uint32_t>& selectedPids() const { return selectedPids_; }

 private:
  ProcessSelection select(std::uint32_t rootPid, const ExternalProcessMap& externals) {
    std::vector<ProcessNode> nodes;
    nodes.reserve(source_.processes().size());
    for (const auto& [pid, info] : source_.processes()) {
      nodes.push_back(
          ProcessNode{pid, info.parentPid.value_or(0), saturatingMul(info.startTime, 1000), info.startInstant});
    }
    ProcessSelection selection = selectProcesses(nodes, rootPid, externals, externalMatches_);
    selectedPids_ = selection.selectedPids;
    return selection;
  }

  void refresh() {
    source_.refresh(procinfo::RefreshSelection::everything());
    lastRefreshAt_ = clock_.monotonicNow();
  }

  void waitForSpacing() {
    if (!lastRefreshAt_.has_value()) {
      return;
    }
    const std::chrono::nanoseconds elapsed =
        std::max(clock_.monotonicNow() - *lastRefreshAt_, std::chrono::nanoseconds::zero());
    if (elapsed < MIN_REFRESH_SPACING) {
      clock_.sleepFor(MIN_REFRESH_SPACING - elapsed);
    }
  }

  procinfo::Clock& clock_;
  FullRefreshSource source_;
  ExternalMatches externalMatches_;
  std::unordered_set<std::uint32_t> selectedPids_;
  std::optional<std::chrono::nanoseconds> lastRefreshAt_;
  std::uint64_t sequence_ = 0;
};

}  // namespace sidecar::sampling::testing
