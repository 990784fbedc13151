#include "procinfo/fake/fake_platform.h"

#include <cassert>
#include <cmath>
#include <cstring>

#include "procinfo/argument_area.h"

namespace sidecar::procinfo {

std::string makeArgumentArea(std::string_view executablePath, const std::vector<std::string>& arguments,
                             const std::vector<std::string>& environment) {
  std::string area(sizeof(std::int32_t), '\0');
  const auto count = static_cast<std::int32_t>(arguments.size());
  std::memcpy(area.data(), &count, sizeof count);
  area.append(executablePath);
  area.push_back('\0');
  while ((area.size() - sizeof count) % 8 != 0) area.push_back('\0');
  for (const std::string& argument : arguments) {
    area.append(argument);
    area.push_back('\0');
  }
  for (const std::string& variable : environment) {
    area.append(variable);
    area.push_back('\0');
  }
  return area;
}

FakePlatform::FakePlatform(FakeClock& clock) : clock_(clock) {
  for (std::size_t i = 0; i < ticks_.size(); ++i) ticks_[i].number = static_cast<std::uint32_t>(i);
}

FakeProcess& FakePlatform::addProcess(std::uint32_t pid, std::uint32_t parentPid, std::uint64_t startSeconds,
                                      std::string_view name, const std::vector<std::string>& arguments) {
  const std::string path =
      name.find('/') == std::string_view::npos ? "/usr/bin/" + std::string(name) : std::string(name);
  FakeProcess entry;
  entry.basic = BasicInfo{ProcessState(ProcessState::Kind::Run), parentPid, startSeconds};
  entry.argumentArea = makeArgumentArea(path, arguments);
  entry.path = path;
  entry.incarnation = ++incarnations_;
  return processes_[pid] = std::move(entry);
}

/// Watches by incarnation: ended when the pid is gone, held by another
/// incarnation, or marked ended; released, at a later collect, once the pid
/// is gone or held by another incarnation.
class FakePlatform::FakeExitWatch final : public ExitWatch {
 public:
  explicit FakeExitWatch(FakePlatform& platform)
      : platform_(platform), giveUps_(platform.exitWatchGiveUps_) {}

  bool watch(std::uint32_t pid) override {
    if (gaveUp_ || watched_.size() >= platform_.exitWatchBudget_) return false;
    const FakeProcess* process = platform_.find(pid);
    if (process == nullptr) return false;
    watched_[pid] = Watched{process->incarnation, false};
    return true;
  }
  void forget(std::uint32_t pid) override { watched_.erase(pid); }
  void collect(ExitNews& news) override {
    if (!gaveUp_ && giveUps_ != platform_.exitWatchGiveUps_) gaveUp_ = true;
    for (auto it = watched_.begin(); it != watched_.end();) {
      const FakeProcess* process = platform_.find(it->first);
      const bool gone = process == nullptr || process->incarnation != it->second.incarnation;
      if (gaveUp_) {
        news.givenUp.push_back(it->first);
        it = watched_.erase(it);
      } else if (it->second.ended && gone) {
        news.released.push_back(it->first);
        it = watched_.erase(it);
      } else {
        if (!it->second.ended && (gone || process->ended)) {
          news.ended.push_back(it->first);
          it->second.ended = true;
        }
        ++it;
      }
    }
  }

 private:
  struct Watched {
    std::uint64_t incarnation = 0;
    bool ended = false;
  };
  FakePlatform& platform_;
  std::uint64_t giveUps_;
  bool gaveUp_ = false;
  std::map<std::uint32_t, Watched> watched_;
};

std::unique_ptr<ExitWatch> FakePlatform::makeExitWatch() {
  if (!exitWatchAvailable_) return nullptr;
  return std::make_unique<FakeExitWatch>(*this);
}

void FakePlatform::removeProcess(std::uint32_t pid) { processes_.erase(pid); }

FakeProcess& FakePlatform::process(std::uint32_t pid) {
  const auto it = processes_.find(pid);
  assert(it != processes_.end());
  return it->second;
}

bool FakePlatform::hasProcess(std::uint32_t pid) const { return processes_.count(pid) != 0; }

double FakePlatform::nanosecondsPerUnit() const {
  const TimeBase base = timeBase_.value_or(TimeBase{});
  return static_cast<double>(base.numer) / static_cast<double>(base.denom);
}

void FakePlatform::addCpuTime(std::uint32_t pid, std::chrono::nanoseconds user, std::chrono::nanoseconds system) {
  TaskInfo& task = readableTask(pid);
  const double perUnit = nanosecondsPerUnit();
  task.totalUser += static_cast<std::uint64_t>(std::llround(static_cast<double>(user.count()) / perUnit));
  task.totalSystem += static_cast<std::uint64_t>(std::llround(static_cast<double>(system.count()) / perUnit));
}

TaskInfo& FakePlatform::readableTask(std::uint32_t pid) {
  std::optional<TaskInfo>& task = process(pid).task;
  if (!task) task.emplace();
  return *task;
}

void FakePlatform::setMemory(std::uint32_t pid, std::uint64_t residentBytes, std::uint64_t virtualBytes) {
  TaskInfo& task = readableTask(pid);
  task.residentSize = residentBytes;
  task.virtualSize = virtualBytes;
}

void FakePlatform::setDisk(std::uint32_t pid, std::uint64_t bytesRead, std::uint64_t bytesWritten) {
  process(pid).disk = DiskCounters{bytesRead, bytesWritten};
}

void FakePlatform::setState(std::uint32_t pid, ProcessState state) {
  FakeProcess& entry = process(pid);
  if (!entry.basic) entry.basic = BasicInfo{};
  entry.basic->state = state;
}

void FakePlatform::setThreadState(std::uint32_t pid, std::int32_t runState) {
  FakeProcess& entry = process(pid);
  if (!entry.thread) entry.thread = ThreadInfo{};
  entry.thread->runState = runState;
}

void FakePlatform::advance(std::chrono::nanoseconds by) {
  clock_.advance(by);
  const auto ticks = static_cast<std::uint64_t>(by.count()) * ticksPerSecond_ / 1'000'000'000U;
  for (ProcessorTicks& processor : ticks_) processor.idle += static_cast<std::uint32_t>(ticks);
  absoluteTime_ += static_cast<std::uint64_t>(std::llround(static_cast<double>(by.count()) / nanosecondsPerUnit()));
}

const FakeProcess* FakePlatform::find(std::uint32_t pid) const {
  const auto it = processes_.find(pid);
  return it == processes_.end() ? nullptr : &it->second;
}

bool FakePlatform::listPids(std::vector<std::uint32_t>& pids) {
  ++calls_.listPids;
  pids.clear();
  if (listingFailures_ > 0) {
    --listingFailures_;
    return false;
  }
  if (!listingOrder_.empty()) {
    pids = listingOrder_;
    return true;
  }
  for (const auto& entry : processes_) pids.push_back(entry.first);
  return !pids.empty();
}

std::optional<BasicInfo> FakePlatform::basicInfo(std::uint32_t pid) {
  ++calls_.basicInfo;
  const FakeProcess* entry = find(pid);
  return entry ? entry->basic : std::nullopt;
}

std::optional<TaskInfo> FakePlatform::taskInfo(std::uint32_t pid) {
  ++calls_.taskInfo;
  const FakeProcess* entry = find(pid);
  return entry == nullptr ? std::nullopt : entry->task;
}

std::optional<ThreadInfo> FakePlatform::threadInfo(std::uint32_t pid) {
  ++calls_.threadInfo;
  const FakeProcess* entry = find(pid);
  return entry ? entry->thread : std::nullopt;
}

std::optional<DiskCounters> FakePlatform::diskCounters(std::uint32_t pid) {
  ++calls_.diskCounters;
  const FakeProcess* entry = find(pid);
  return entry ? entry->disk : std::nullopt;
}

bool FakePlatform::readNameAndArguments(std::uint32_t pid, bool wantName, bool wantArguments, std::string& name,
                                        std::vector<std::string>& arguments) {
  ++calls_.readNameAndArguments;
  const FakeProcess* entry = find(pid);
  if (entry == nullptr || !entry->argumentArea) return false;
  return parseArgumentArea(*entry->argumentArea, wantName, wantArguments, name, arguments);
}

bool FakePlatform::readNameFromPath(std::uint32_t pid, std::string& name) {
  ++calls_.readNameFromPath;
  const FakeProcess* entry = find(pid);
  if (entry == nullptr || !entry->path || entry->path->empty()) return false;
  name.assign(lastPathComponent(*entry->path));
  return true;
}

bool FakePlatform::processorTicks(std::vector<ProcessorTicks>& ticks) {
  ++calls_.processorTicks;
  ticks.clear();
  if (!ticksAvailable_) return false;
  if (tickFailures_ > 0) {
    --tickFailures_;
    return false;
  }
  ticks = ticks_;
  return !ticks.empty();
}

std::optional<TimeBase> FakePlatform::timeBase() {
  ++calls_.timeBase;
  return timeBase_;
}

std::uint64_t FakePlatform::absoluteTime() {
  ++calls_.absoluteTime;
  return absoluteTime_;
}

}  // namespace sidecar::procinfo
