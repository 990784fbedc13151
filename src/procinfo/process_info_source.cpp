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

// The exit watch holds the process: it tells when the process ends, or it
// has told so already and holds it until it is released.
bool endHeld(const ProcessInfo& info) { return info.endWatched || info.endSeen; }

// An unknown start (0) gives no run time rather than the time since 1970.
std::uint64_t secondsSince(std::uint64_t start, std::uint64_t now) {
  return start == 0 || start > now ? 0 : now - start;
}

}  // namespace

ProcessInfoSource::ProcessInfoSource(Platform& platform)
    : platform_(&platform),
      cpu_(platform),
      taskWithBasics_(platform.taskInfoComesWithBasicInfo()),
      threadWithBasics_(taskWithBasics_ && !cpu_.hasProcessorCounters()) {
  processes_.reserve(INITIAL_CAPACITY);
}

ProcessInfoSource ProcessInfoSource::new_with_specifics(Platform& platform) { return ProcessInfoSource(platform); }

const ProcessMap& ProcessInfoSource::processes() const { return processes_; }

std::size_t ProcessInfoSource::refresh_processes_specifics(const RefreshSelection& selection) {
  return refresh(selection, nullptr, Coverage::everyProcess);
}

std::size_t ProcessInfoSource::refresh_processes_specifics(const RefreshSelection& selection,
                                                           const DetailPicker& pick, Coverage coverage) {
  return refresh(selection, &pick, coverage);
}

bool ProcessInfoSource::watchEnd(std::uint32_t pid) { return exitWatch_ && exitWatch_->watch(pid); }

bool ProcessInfoSource::mayLeaveUnread(const ProcessInfo& info) const {
  if (!endHeld(info) || !info.basicsRead || info.exitNews != ProcessInfo::ExitNews::none ||
      info.pickedRefresh + 1 == refreshCount_) {
    return false;
  }
  if (!info.parentPid) return true;
  // A parent that ended has handed its children to another process; one
  // whose end is not watched might have.
  if (!lostSet_.empty() && lostSet_.count(*info.parentPid) != 0) return false;
  // A parent read without its basic values may yet turn out to be in the
  // watched tree.
  const auto parent = processes_.find(*info.parentPid);
  return parent != processes_.end() && endHeld(parent->second) && parent->second.basicsRead;
}

std::size_t ProcessInfoSource::refresh(const RefreshSelection& selection, const DetailPicker* pick,
                                       Coverage coverage) {
  ++refreshCount_;
  detailsOfAll_ = pick == nullptr;
  if (pick != nullptr && !exitWatchMade_) {
    exitWatch_ = platform_->makeExitWatch();
    exitWatchMade_ = true;
  }
  std::size_t listed = 0;
  if (platform_->listPids(pids_)) {
    listed = pids_.size();
    const auto wall = std::chrono::duration_cast<std::chrono::seconds>(platform_->clock().wallNow()).count();
    now_ = wall < 0 ? 0 : static_cast<std::uint64_t>(wall);
    if (cpu_.hasProcessorCounters()) cpu_.measureInterval();

    // The processes that ended since the last refresh are read again, and
    // so are their children; so are the pids of ended processes that have
    // been released, and those whose watch was given up.
    lostSet_.clear();
    if (exitWatch_) {
      news_.clear();
      exitWatch_->collect(news_);
      // Each pid of the news is read again; its record, if any, learns what
      // the watch said.
      const auto learn = [this](const std::vector<std::uint32_t>& pids, auto update) {
        for (const std::uint32_t pid : pids) {
          lostSet_.insert(pid);
          const auto found = processes_.find(pid);
          if (found != processes_.end()) update(found->second);
        }
      };
      learn(news_.ended, [](ProcessInfo& info) {
        info.endWatched = false;
        info.endSeen = true;
        info.exitNews = ProcessInfo::ExitNews::ended;
      });
      learn(news_.released, [](ProcessInfo& info) {
        info.endSeen = false;
        info.exitNews = ProcessInfo::ExitNews::released;
      });
      learn(news_.givenUp, [](ProcessInfo& info) {
        info.endWatched = false;
        info.endSeen = false;
      });
    }
    const bool leaveUnread = pick != nullptr && coverage == Coverage::changedAndPicked && exitWatch_;

    // Step one: the basic values of every listed process that needs them.
    pending_.clear();
    for (const std::uint32_t pid : pids_) {
      const auto known = processes_.find(pid);
      if (known != processes_.end()) {
        ProcessInfo& info = known->second;
        if (leaveUnread && mayLeaveUnread(info)) {
          info.seen = true;
          info.leftUnread = true;
          info.pendingDetails = ProcessInfo::Details::none;
          continue;
        }
        info.leftUnread = false;
        // A process whose end was reported is not watched again: its record
        // is settled by what step one reads now (see updateBasics).
        if (!endHeld(info) && info.exitNews == ProcessInfo::ExitNews::none) info.endWatched = watchEnd(pid);
        updateBasics(info, selection);
      } else {
        const bool endWatched = watchEnd(pid);
        buildBasics(pid, platform_->basicInfo(pid), selection, endWatched);
        if (endWatched && !builtLast(pid)) exitWatch_->forget(pid);
      }
    }
    insertPending();

    for (auto it = processes_.begin(); it != processes_.end();) {
      if (!it->second.seen) {
        it = eraseRecord(it);
      } else {
        it->second.seen = false;
        ++it;
      }
    }
  } else {
    // Nothing was confirmed, so nothing survives: the map is empty until a
    // listing succeeds again, and every CPU baseline starts afresh.
    for (const auto& [pid, info] : processes_) {
      if (endHeld(info)) exitWatch_->forget(pid);
    }
    processes_.clear();
  }

  // Step two: the details of the picked processes that step one has not
  // read already.
  if (pick == nullptr) return listed;
  picked_.clear();
  (*pick)(processes_, picked_);
  for (const std::uint32_t pid : picked_) {
    auto found = processes_.find(pid);
    if (found == processes_.end()) continue;
    if (found->second.leftUnread) {
      readLate(pid, selection);
      found = processes_.find(pid);
      if (found == processes_.end()) continue;
    }
    found->second.pickedRefresh = refreshCount_;
    readDetails(found->second, selection);
  }
  return listed;
}

void ProcessInfoSource::readLate(std::uint32_t pid, const RefreshSelection& selection) {
  // Not expected while the parent links hold what the top of this file
  // says; read as step one would have, so that the record is never stale.
  ProcessInfo& info = processes_.find(pid)->second;
  info.leftUnread = false;
  info.seen = false;
  updateBasics(info, selection);
  insertPending();
  const auto found = processes_.find(pid);
  if (!found->second.seen) {
    eraseRecord(found);
  } else {
    found->second.seen = false;
  }
}

void ProcessInfoSource::insertPending() {
  // One built for a reused pid replaces the old record.
  for (ProcessInfo& fresh : pending_) {
    const std::uint32_t pid = fresh.pid;
    processes_.insert_or_assign(pid, std::move(fresh));
  }
  pending_.clear();
}

ProcessMap::iterator ProcessInfoSource::eraseRecord(ProcessMap::iterator record) {
  if (endHeld(record->second)) exitWatch_->forget(record->first);
  return processes_.erase(record);
}

bool ProcessInfoSource::builtLast(std::uint32_t pid) const { return !pending_.empty() && pending_.back().pid == pid; }

void ProcessInfoSource::updateBasics(ProcessInfo& info, const RefreshSelection& selection) {
  const std::uint32_t pid = info.pid;
  const ProcessInfo::ExitNews news = info.exitNews;
  info.exitNews = ProcessInfo::ExitNews::none;
  const std::optional<BasicInfo> basic = platform_->basicInfo(pid);
  // The exit watch has the last word: a process whose end it reported can
  // only be a zombie (or dying) now, and one it reported released is gone.
  // Any other holder of the pid is another process, even one that started
  // within the same clock tick, which the start time cannot tell.
  const bool endedStillThere =
      basic && (basic->state.kind() == ProcessState::Kind::Zombie || basic->state.kind() == ProcessState::Kind::Dead);
  const bool heldByAnother = basic && (basic->startSeconds != info.startTime ||
                                       basic->startInstant != info.startInstant ||
                                       news == ProcessInfo::ExitNews::released ||
                                       (news == ProcessInfo::ExitNews::ended && !endedStillThere));
  if (heldByAnother) {
    // The pid now belongs to another process, perhaps one that started
    // within the same second. Until a record for it can be
    // built, the old one stays, nameless, so that it is not reported under
    // a name that is no longer its own; nothing else of it is read.
    info.seen = true;
    info.pendingDetails = ProcessInfo::Details::none;
    info.name.clear();
    bool watched = info.endWatched;
    if (news != ProcessInfo::ExitNews::none) {
      // The watch held the old process; the new one gets its own.
      if (info.endSeen) exitWatch_->forget(pid);
      info.endSeen = false;
      watched = watchEnd(pid);
    }
    buildBasics(pid, basic, selection, watched);
    if (builtLast(pid)) {
      // Only a newcomer that the start time cannot tell from the old
      // process needs the count; any other start tells them apart.
      const bool sameStart = basic->startSeconds == info.startTime && basic->startInstant == info.startInstant;
      pending_.back().succession = sameStart ? info.succession + 1 : 0;
    } else if (watched) {
      // The record stays, but does not describe the process watched now:
      // read it at every refresh until one can be built.
      exitWatch_->forget(pid);
      info.endWatched = false;
    }
    return;
  }
  // The name is read when it is still empty; the command line, which comes
  // with it on some systems, only in step two.
  info.basicsRead = basic.has_value();
  if (basic) {
    info.parentPid = parentOf(*basic);
    // A process that has exited stays a zombie until it is reaped, and no
    // thread of it runs any more: its record takes that state whatever the
    // state it was built with (which would otherwise stand for it, with the
    // failed thread query read as running).
    if (platform_->stateFollowsLatestRefresh() || basic->state.kind() == ProcessState::Kind::Zombie) {
      info.processState = basic->state;
    }
    if (info.name.empty() && !platform_->readNameAndArguments(pid, true, false, info.name, info.commandLine)) {
      platform_->readNameFromPath(pid, info.name);
    }
  } else {
    scratchName_.clear();
    if (!platform_->readNameFromPath(pid, scratchName_)) {
      info.pendingDetails = ProcessInfo::Details::none;
      return;  // not seen: removed
    }
    if (info.name.empty()) info.name.swap(scratchName_);
    if (info.name.empty()) platform_->readNameAndArguments(pid, true, false, info.name, info.commandLine);
  }
  info.runTime = secondsSince(info.startTime, now_);
  info.pendingDetails = ProcessInfo::Details::ofKnown;
  info.seen = true;

  if (taskWithBasics_ && (selection.cpu || selection.memory)) {
    if (threadWithBasics_) readThread(info);
    readTask(info, selection, true);
  }
  if (detailsOfAll_ || info.pickedRefresh + 1 == refreshCount_) readDetails(info, selection);
}

void ProcessInfoSource::buildBasics(std::uint32_t pid, const std::optional<BasicInfo>& basic,
                                    const RefreshSelection& selection, bool endWatched) {
  ProcessInfo& info = pending_.emplace_back();
  info.pid = pid;
  info.seen = true;
  info.endWatched = endWatched;
  if (!basic) {
    // Only a name can be had; everything else keeps its initial value, and
    // step two reads nothing for it.
    if (!platform_->readNameFromPath(pid, info.name)) pending_.pop_back();
    return;
  }
  info.basicsRead = true;
  info.parentPid = parentOf(*basic);
  info.startTime = basic->startSeconds;
  info.startInstant = basic->startInstant;
  info.runTime = secondsSince(info.startTime, now_);
  info.processState = basic->state;
  // A zombie has neither name source (on macOS); its basic information
  // alone keeps it, nameless.
  if (!platform_->readNameAndArguments(pid, true, false, info.name, info.commandLine) &&
      !platform_->readNameFromPath(pid, info.name) && info.processState.kind() != ProcessState::Kind::Zombie) {
    pending_.pop_back();
    return;
  }
  info.pendingDetails = ProcessInfo::Details::ofNew;
  if (taskWithBasics_ && (selection.cpu || selection.memory)) readTask(info, selection, false);
  if (detailsOfAll_) readDetails(info, selection);
}

void ProcessInfoSource::readDetails(ProcessInfo& info, const RefreshSelection& selection) {
  const ProcessInfo::Details details = info.pendingDetails;
  if (details == ProcessInfo::Details::none) return;
  info.pendingDetails = ProcessInfo::Details::none;  // read once, even if picked twice
  const std::uint32_t pid = info.pid;
  // The name was settled in step one; a failed read keeps the old list.
  if (selection.commandLine) platform_->readNameAndArguments(pid, false, true, info.name, info.commandLine);

  const bool readTaskNow = !taskWithBasics_ && (selection.cpu || selection.memory);
  if (details == ProcessInfo::Details::ofNew) {
    // No thread information for a record built in this refresh.
    if (readTaskNow) readTask(info, selection, false);
  }
  if (selection.diskUsage) {
    if (const std::optional<DiskCounters> disk = platform_->diskCounters(pid)) {
      info.diskReadBytes = disk->bytesRead;
      info.diskWrittenBytes = disk->bytesWritten;
    }
  }
  if (details == ProcessInfo::Details::ofKnown) {
    if (!threadWithBasics_ || !(selection.cpu || selection.memory)) readThread(info);
    if (readTaskNow) readTask(info, selection, true);
  }
}

void ProcessInfoSource::readThread(ProcessInfo& info) {
  const std::optional<ThreadInfo> thread = platform_->threadInfo(info.pid);
  info.threadState = ThreadState{thread ? thread->runState : ThreadState::RUN_STATE_RUNNING};
}

void ProcessInfoSource::readTask(ProcessInfo& info, const RefreshSelection& selection, bool known) {
  const std::optional<TaskInfo> reading = platform_->taskInfo(info.pid);
  if (!reading) {
    // Unreadable (a zombie on macOS, another user's process): the CPU time
    // and sizes read before stay, rather than falling to 0; the usage is 0,
    // and so is the next one (no baseline).
    if (selection.cpu) {
      info.cpuUsage = 0.0F;
      info.previousUserTime = 0;
      info.previousSystemTime = 0;
    }
    return;
  }
  const TaskInfo& task = *reading;
  if (selection.cpu) {
    // The baseline may be older than the previous refresh: read with the
    // details, when the process was not picked then; read with the basic
    // values, when the previous refresh left the process unread (or could
    // not read it).
    if (known && info.baselineRefresh + 1 == refreshCount_) {
      cpu_.updateCpu(info, task);
    } else {
      // A new record, or one whose baseline is older than the previous
      // refresh: this reading is the baseline, and the usage starts at 0.
      cpu_.baselineCpu(info, task);
      info.cpuUsage = 0.0F;
    }
    info.baselineRefresh = refreshCount_;
  } else if (!known) {
    info.previousUserTime = task.totalUser;
    info.previousSystemTime = task.totalSystem;
    info.baselineRefresh = refreshCount_;
  }
  // A process that has exited holds no memory, and Linux reads its sizes as
  // 0 while its CPU total stays: keep the sizes it had last, as on a system
  // whose task query fails for it, so that both report an exit alike.
  const bool exitedWithoutSizes = info.processState.kind() == ProcessState::Kind::Zombie &&
                                  task.residentSize == 0 && task.virtualSize == 0;
  if (selection.memory && !exitedWithoutSizes) {
    info.residentMemory = task.residentSize;
    info.virtualMemory = task.virtualSize;
  }
}

}  // namespace sidecar::procinfo
