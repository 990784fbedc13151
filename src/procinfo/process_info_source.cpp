#include "procinfo/process_info_source.h"

#include <chrono>
#include <utility>

namespace sidecar::procinfo {

namespace {

constexpr std::size_t INITIAL_CAPACITY = 224;

std::optional<std::uint32_t> parentOf(const BasicInfo& basic) {
  if (basic.parentPid == 0) return std::nullopt;
  return basic.parentPid;
}

std::uint64_t secondsSince(std::uint64_t start, std::uint64_t now) { return start > now ? 0 : now - start; }

}  // namespace

ProcessInfoSource::ProcessInfoSource(Platform& platform) : platform_(&platform), cpu_(platform) {
  processes_.reserve(INITIAL_CAPACITY);
}

ProcessInfoSource ProcessInfoSource::new_with_specifics(Platform& platform) { return ProcessInfoSource(platform); }

const ProcessMap& ProcessInfoSource::processes() const { return processes_; }

std::size_t ProcessInfoSource::refresh_processes_specifics(const RefreshSelection& selection) {
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
  for (ProcessInfo& info : pending_) {
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

void ProcessInfoSource::update(ProcessInfo& info, const RefreshSelection& selection, std::uint64_t now) {
  const std::uint32_t pid = info.pid;
  const std::optional<BasicInfo> basic = platform_->basicInfo(pid);
  if (basic && basic->startSeconds != info.startTime) {
    // The pid now belongs to another process. Until a record for it can be
    // built, the old one stays, nameless, so that it is not reported under
    // a name that is no longer its own.
    info.seen = true;
    info.name.clear();
    build(pid, basic, selection, now);
    return;
  }
  if (basic) {
    info.parentPid = parentOf(*basic);
    if (platform_->stateFollowsLatestRefresh()) info.processState = basic->state;
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
    if (const std::optional<DiskCounters> disk = platform_->diskCounters(pid)) {
      info.diskReadBytes = disk->bytesRead;
      info.diskWrittenBytes = disk->bytesWritten;
    }
  }

  std::uint64_t threadUser = 0;
  std::uint64_t threadSystem = 0;
  if (const std::optional<ThreadInfo> thread = platform_->threadInfo(pid)) {
    info.threadState = ThreadState{thread->runState};
    threadUser = thread->userTime;
    threadSystem = thread->systemTime;
  } else {
    info.threadState = ThreadState{ThreadState::RUN_STATE_RUNNING};
  }

  info.runTime = secondsSince(info.startTime, now);

  if (selection.cpu || selection.memory) {
    const TaskInfo task = platform_->taskInfo(pid);
    if (selection.cpu) cpu_.updateCpu(info, task, threadUser, threadSystem);
    if (selection.memory) {
      info.residentMemory = task.residentSize;
      info.virtualMemory = task.virtualSize;
    }
  }
  info.seen = true;
}

void ProcessInfoSource::build(std::uint32_t pid, const std::optional<BasicInfo>& basic,
                              const RefreshSelection& selection, std::uint64_t now) {
  ProcessInfo& info = pending_.emplace_back();
  info.pid = pid;
  info.seen = true;
  if (!basic) {
    // Only a name can be had; everything else keeps its initial value.
    if (!platform_->readNameFromPath(pid, info.name)) pending_.pop_back();
    return;
  }
  info.parentPid = parentOf(*basic);
  info.startTime = basic->startSeconds;
  info.runTime = secondsSince(info.startTime, now);
  info.processState = basic->state;
  // A zombie has neither name source (on macOS); its basic information
  // alone keeps it, nameless.
  if (!platform_->readNameAndArguments(pid, true, selection.commandLine, info.name, info.commandLine) &&
      !platform_->readNameFromPath(pid, info.name) && info.processState.kind() != ProcessState::Kind::Zombie) {
    pending_.pop_back();
    return;
  }
  if (selection.cpu || selection.memory) {
    const TaskInfo task = platform_->taskInfo(pid);
    if (selection.cpu) {
      cpu_.baselineCpu(info, task);
    } else {
      info.previousUserTime = task.totalUser;
      info.previousSystemTime = task.totalSystem;
    }
    if (selection.memory) {
      info.residentMemory = task.residentSize;
      info.virtualMemory = task.virtualSize;
    }
  }
  if (selection.diskUsage) {
    if (const std::optional<DiskCounters> disk = platform_->diskCounters(pid)) {
      info.diskReadBytes = disk->bytesRead;
      info.diskWrittenBytes = disk->bytesWritten;
    }
  }
}

}  // namespace sidecar::procinfo
