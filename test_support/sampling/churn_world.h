// Test support: a randomized world of processes that churns, and the faults
// injected into the fake platform(s) that show it. Shared by the churn and
// fault test (churn_fault_test.cpp) and the differential test of the
// selective refresh (selective_refresh_differential_test.cpp). Header-only;
// not part of the library.
//
// A "world" of processes changes at every step: processes start, exit (their
// children are re-parented to pid 1, or left pointing at the dead parent for
// a while), pids are reused with new start times, parents change (cycles
// included), zombies appear and are reaped, programs exec into new names and
// arguments, and the wall clock jumps forward or back. Before each refresh
// every platform read may fail at random: the listing, the basic, task and
// thread information, the disk counters, the argument area, the executable
// path and the processor ticks; pids that are listed but gone are mixed into
// the listing.
//
// The world writes itself into one or more FakePlatforms, the same script
// into each, so that several sources can be driven through the very same
// history. One generator drives everything (the world and its user's own
// draws through chance() and below()), so a seed replays exactly.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "procinfo/argument_area.h"
#include "procinfo/fake/fake_platform.h"
#include "procinfo/platform.h"
#include "sampling/external_process_map.h"

namespace sidecar::sampling::testing {

/// One process of the world, as the test scripts it.
struct WorldProcess {
  std::uint32_t ppid = 0;
  std::uint64_t start = 0;
  std::string path;
  std::vector<std::string> args;
  /// A live process always has a virtual size.
  procinfo::TaskInfo task{0, 0, 0, 4096};
  procinfo::DiskCounters disk;
  std::int32_t threadState = procinfo::ThreadState::RUN_STATE_RUNNING;
  /// A zombie keeps its basic information; on macOS it has no arguments or
  /// path, on Linux (WorldOptions::linuxLike) an empty argument list.
  bool zombie = false;
  /// Tells this process from an earlier one with the same pid, for the
  /// fake exit watch.
  std::uint64_t incarnation = 0;
  /// Linux only: disk counters unreadable for the process's whole life (a
  /// process of another user).
  bool diskDenied = false;
  /// The start at a finer resolution than `start` (BasicInfo::startInstant).
  std::uint64_t instant = 0;
};

/// Which reads fail for one pid during one step.
struct Faults {
  bool basic = false;
  bool task = false;
  bool thread = false;
  bool disk = false;
  bool area = false;
  bool path = false;
};

/// How a seed shapes its run.
struct Profile {
  const char* label;
  std::uint32_t seed;
  int steps;
  std::uint32_t pidSpace;     ///< pids 2..pidSpace; small spaces reuse pids often
  std::size_t targetSize;     ///< the world grows toward this many processes
  double faultRate;           ///< chance that any one per-process read fails
  std::size_t longArguments;  ///< bytes of an extra argument on some processes
  double longArgumentRate;    ///< chance that a process gets that argument
  double treeBias;            ///< chance that a new process is a child of the root
  double jumpRate;            ///< chance per step of a long jump or a set-back of the wall clock
};

/// The figures a run prints at its end.
struct Tally {
  std::size_t refreshes = 0;
  std::size_t snapshots = 0;
  std::size_t faults = 0;
  std::size_t starts = 0;
  std::size_t exits = 0;
  std::size_t reuses = 0;
  std::size_t reparents = 0;
  std::size_t zombies = 0;
  std::size_t execs = 0;
  std::size_t clockJumps = 0;
  std::size_t tables = 0;
  std::size_t historyReads = 0;
  std::size_t maxSelected = 0;
  std::size_t maxHistory = 0;
  std::uint64_t maxHistoryBytes = 0;
  std::uint64_t maxHistoryEntries = 0;
  std::size_t joins = 0;  ///< processes watched that were not watched at the refresh before
};

struct WorldOptions {
  /// Linux's ways where they differ from macOS's: a zombie's argument list
  /// reads as empty (its cmdline is empty) instead of failing, and some
  /// processes' disk counters are unreadable for their whole life.
  bool linuxLike = false;
  /// Asked per pid at each script(): may a failing argument area or disk
  /// counter be scripted for it this step? Empty: always. (The draws are
  /// made either way, so that a seed replays the same world.)
  std::function<bool(std::uint32_t pid)> detailFaultsAllowed;
  /// Chance per process and step of using some CPU time on top of the
  /// churn's own changes (0: no such draws).
  double cpuActivity = 0.0;
  /// Every process gets a start instant of its own, so that one that takes
  /// a pid in the same second as the one before it (by reuse, or by a start
  /// after an exit) is a new process to a monitor without an exit watch too
  /// (false: the same instant, 0, for every process).
  bool distinctInstants = false;
  /// Parents change only as a kernel changes them: when the parent ends,
  /// at once, to pid 1; no process starts before its parent; a live
  /// process always has its basic information or its path readable. Needed
  /// by a refresh that leaves unwatched processes unread until the exit
  /// watch reports them or their parent.
  bool kernelParents = false;
};

class ChurnWorld {
 public:
  /// `platforms` (at least one) are written the same script; their clocks
  /// are moved together. The first one's clock is the world's time.
  ChurnWorld(const Profile& profile, std::vector<procinfo::FakePlatform*> platforms, WorldOptions options = {})
      : profile_(profile), random_(profile.seed), platforms_(std::move(platforms)), options_(std::move(options)) {}

  /// The first world: launchd, the root and half the target size below
  /// them; the first external processes.
  void populate() {
    const std::uint64_t now = nowSeconds();
    world_[1] = WorldProcess{0, now - 100000, "/sbin/launchd", {"launchd"}, {0, 0, 0, 4096}, {}, 1, false, false};
    rootPid_ = spawn(1, now - 50);
    for (std::size_t i = 0; i < profile_.targetSize / 2; ++i) spawn(randomLivePid(), now - 10);
    chooseExternals();
  }

  bool chance(double p) { return std::bernoulli_distribution(p)(random_); }
  std::uint32_t below(std::uint32_t n) { return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(random_); }
  std::mt19937& random() { return random_; }

  std::uint64_t nowSeconds() {
    const std::chrono::nanoseconds now = platforms_.front()->fakeClock().wallNow();
    const auto wall = std::chrono::duration_cast<std::chrono::seconds>(now).count();
    return wall < 0 ? 0 : static_cast<std::uint64_t>(wall);
  }

  const Profile& profile() const { return profile_; }
  const std::map<std::uint32_t, WorldProcess>& processes() const { return world_; }
  /// This step's faults, by pid (every live pid has an entry).
  const std::unordered_map<std::uint32_t, Faults>& faults() const { return faults_; }
  /// This step's listing; empty optional when it fails.
  const std::optional<std::vector<std::uint32_t>>& listed() const { return listed_; }
  std::uint32_t rootPid() const { return rootPid_; }
  const ExternalProcessMap& externals() const { return externals_; }
  Tally& tally() { return tally_; }

  /// One step of change, then time passes.
  void churn() {
    const std::uint64_t now = nowSeconds();
    const std::size_t size = world_.size();
    const std::uint32_t operations = 1 + below(8);
    for (std::uint32_t i = 0; i < operations; ++i) {
      const std::uint32_t pick = below(100);
      const std::uint32_t pid = randomLivePid();
      if (pick < 30) {
        if (size < profile_.targetSize * 3 / 2) spawn(chance(profile_.treeBias) ? rootPid_ : pid, now);
      } else if (pick < 50) {
        if (size > profile_.targetSize / 2) exitProcess(pid);
      } else if (pick < 62) {
        // Reuse: the pid exits and a new process takes it at once, usually
        // in a later second (so its start time differs).
        if (pid == 1) continue;
        WorldProcess fresh;
        fresh.ppid = chance(0.5) ? world_[pid].ppid : randomLivePid();
        fresh.start = chance(0.8) ? now + 1 + below(3) : world_[pid].start;
        if (options_.distinctInstants) fresh.instant = incarnations_ + 1;  // its incarnation, set below
        fresh.path = randomPath();
        fresh.args = randomArgs(fresh.path);
        if (options_.linuxLike) {
          // A new process may be another user's; one that keeps the start
          // (and the instant) is the same process to a monitor, with the
          // same rights.
          const bool denied = chance(0.1);
          const bool same = fresh.start == world_[pid].start && fresh.instant == world_[pid].instant;
          fresh.diskDenied = same ? world_[pid].diskDenied : denied;
        }
        fresh.incarnation = ++incarnations_;
        if (options_.kernelParents) fresh.start = notBeforeParent(fresh.ppid, fresh.start);
        if (options_.kernelParents) reparentChildrenOf(pid);
        world_[pid] = std::move(fresh);
        ++tally_.reuses;
      } else if (pick < 70) {
        if (pid == 1) continue;
        if (options_.kernelParents) {
          // Only the parent's end gives a process another parent.
          if (world_[pid].ppid > 1) exitProcess(world_[pid].ppid);
          continue;
        }
        world_[pid].ppid = chance(0.1) ? 0 : randomLivePid();  // cycles and parentless processes included
        ++tally_.reparents;
      } else if (pick < 75) {
        if (pid == 1) continue;
        if (world_[pid].zombie) {
          exitProcess(pid);  // reaped
        } else {
          world_[pid].zombie = true;
          if (options_.kernelParents) reparentChildrenOf(pid);
          ++tally_.zombies;
        }
      } else if (pick < 83) {
        if (world_[pid].zombie) continue;
        world_[pid].path = randomPath();  // exec: new program, same pid and start
        world_[pid].args = randomArgs(world_[pid].path);
        ++tally_.execs;
      } else {
        WorldProcess& p = world_[pid];
        p.task.totalUser += below(400'000'000);
        p.task.totalSystem += below(100'000'000);
        p.task.residentSize = 4096ULL * below(100000);
        p.task.virtualSize = p.task.residentSize * 4 + 4096;
        p.disk.bytesRead += below(1 << 20);
        p.disk.bytesWritten += below(1 << 20);
        p.threadState = static_cast<std::int32_t>(below(7));
      }
    }
    if (options_.cpuActivity > 0.0) {
      for (auto& [pid, p] : world_) {
        if (chance(options_.cpuActivity)) p.task.totalUser += below(300'000'000);
      }
    }
    // Time passes: usually a fraction of a second, sometimes a long gap (the
    // history's age bound), sometimes the wall clock is set back.
    if (chance(profile_.jumpRate)) {
      const std::chrono::seconds by(600 + below(1800));
      for (procinfo::FakePlatform* platform : platforms_) platform->advance(by);
      ++tally_.clockJumps;
    } else if (chance(profile_.jumpRate)) {
      const std::chrono::seconds back(1 + below(120));
      const std::chrono::nanoseconds wall = platforms_.front()->fakeClock().wallNow() - back;
      for (procinfo::FakePlatform* platform : platforms_) platform->fakeClock().setWall(wall);
      ++tally_.clockJumps;
    } else {
      const std::chrono::milliseconds by(below(1500));
      for (procinfo::FakePlatform* platform : platforms_) platform->advance(by);
    }
  }

  /// A new list of external processes (matching, stale and unknown ones),
  /// and now and then a new root when the old one has gone.
  void chooseExternals() {
    externals_.clear();
    const std::uint32_t count = below(5);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t pid = chance(0.2) ? 2 + below(profile_.pidSpace) : randomLivePid();
      const auto live = world_.find(pid);
      std::optional<std::uint64_t> start;
      if (chance(0.7) && live != world_.end()) {
        start = live->second.start * 1000 + below(1000);  // the same second, any millisecond
      } else if (chance(0.5)) {
        start = (nowSeconds() - below(100000)) * 1000;  // probably stale
      }
      externals_[pid] = start;
    }
    if (chance(0.1) && world_.count(rootPid_) == 0) rootPid_ = randomLivePid();
  }

  /// A new root, named by a command: any live process.
  void chooseRoot() { rootPid_ = randomLivePid(); }

  /// Writes the world and this step's faults into every platform.
  void script() {
    faults_.clear();
    std::vector<std::uint32_t> gone;
    for (const std::uint32_t pid : scriptedPids_) {
      if (world_.count(pid) == 0) gone.push_back(pid);
    }
    for (const std::uint32_t pid : gone) {
      for (procinfo::FakePlatform* platform : platforms_) platform->removeProcess(pid);
    }
    scriptedPids_.clear();
    const double rate = profile_.faultRate;
    for (const auto& [pid, p] : world_) {
      Faults f;
      f.basic = chance(rate);
      f.task = chance(rate);
      f.thread = chance(rate);
      f.disk = chance(rate);
      f.area = chance(rate);
      f.path = chance(rate);
      if (options_.kernelParents && f.basic && !p.zombie) f.path = false;
      // /proc/PID/stat is readable by anyone for as long as the pid is
      // there, a zombie's included: a process whose end was seen is not
      // read again until it is reaped, so a fault there would be no fault
      // of the real system.
      if (options_.kernelParents && f.basic && p.zombie) f.basic = false;
      if (options_.detailFaultsAllowed && !options_.detailFaultsAllowed(pid)) {
        f.task = false;
        f.disk = false;
        f.area = false;
      }
      tally_.faults += f.basic + f.task + f.thread + f.disk + f.area + f.path;
      for (procinfo::FakePlatform* platform : platforms_) writeProcess(*platform, pid, p, f);
      faults_[pid] = f;
      scriptedPids_.push_back(pid);
    }
    // The listing: every live pid in a shuffled order, plus now and then a
    // few pids that exited between the listing and the reads.
    std::vector<std::uint32_t> order(scriptedPids_);
    if (chance(0.1)) {
      const std::uint32_t ghosts = 1 + below(3);
      for (std::uint32_t i = 0; i < ghosts; ++i) {
        const std::uint32_t pid = freePid();
        if (pid != 0 && std::find(order.begin(), order.end(), pid) == order.end()) {
          order.push_back(pid);
          ++tally_.faults;
        }
      }
    }
    std::shuffle(order.begin(), order.end(), random_);
    listed_ = order;
    for (procinfo::FakePlatform* platform : platforms_) platform->setListingOrder(order);
    if (chance(0.03)) {
      for (procinfo::FakePlatform* platform : platforms_) platform->failListing(1);
      listed_.reset();
      ++tally_.faults;
    }
    if (chance(0.05)) {
      for (procinfo::FakePlatform* platform : platforms_) platform->failProcessorTicks(1);
      ++tally_.faults;
    }
  }

  std::uint32_t randomLivePid() {
    auto it = world_.begin();
    std::advance(it, below(static_cast<std::uint32_t>(world_.size())));
    return it->first;
  }

 private:
  void writeProcess(procinfo::FakePlatform& platform, std::uint32_t pid, const WorldProcess& p, const Faults& f) const {
    procinfo::FakeProcess& entry = platform.addProcess(pid, p.ppid, p.start, "x");
    entry.basic->startInstant = p.instant;
    entry.path = p.path;
    entry.argumentArea = procinfo::makeArgumentArea(p.path, p.args, {"HOME=/nowhere"});
    entry.task = p.task;
    entry.disk = p.disk;
    entry.thread = procinfo::ThreadInfo{p.threadState, 0, 0};
    entry.incarnation = p.incarnation;
    entry.ended = p.zombie;
    if (p.zombie) {
      entry.basic->state = procinfo::ProcessState(procinfo::ProcessState::Kind::Zombie);
      if (options_.linuxLike) {
        entry.argumentArea = procinfo::makeArgumentArea(p.path, {});
      } else {
        entry.argumentArea.reset();
      }
      entry.path.reset();
    }
    if (p.diskDenied) entry.disk.reset();
    if (f.basic) entry.basic.reset();
    if (f.task) entry.task = {};
    if (f.thread) entry.thread.reset();
    if (f.disk) entry.disk.reset();
    if (f.area) entry.argumentArea.reset();
    if (f.path) entry.path.reset();
  }

  std::string randomName() {
    static const char* const NAMES[] = {"worker", "helper", "sh", "node", "caf\xC3\xA9", "bad\xFF\xFEname",
                                        "a\xE2\x82", "renderer", "x"};
    std::string name = NAMES[below(9)];
    if (chance(0.02)) name.assign(1500 + below(1000), 'n');  // longer than the name limit
    return name;
  }

  std::string randomPath() {
    const std::string name = randomName();
    switch (below(20)) {
      case 0: return "/";                         // no last component: empty name
      case 1: return "/opt/" + name + "/./";      // trailing "." and "/" ignored
      case 2: return "relative/" + name;
      default: return "/usr/bin/" + name;
    }
  }

  std::vector<std::string> randomArgs(const std::string& path) {
    std::vector<std::string> args{path};
    const std::uint32_t extra = below(4);
    for (std::uint32_t i = 0; i < extra; ++i) args.push_back(chance(0.2) ? "" : "--opt" + std::to_string(below(100)));
    if (profile_.longArguments > 0 && chance(profile_.longArgumentRate)) {
      args.push_back(std::string(profile_.longArguments, 'L'));
    }
    if (chance(0.01)) args.assign(1, std::string(20000, 'A'));  // longer than the command limit
    return args;
  }

  std::uint32_t freePid() {
    for (int attempt = 0; attempt < 64; ++attempt) {
      const std::uint32_t pid = 2 + below(profile_.pidSpace - 1);
      if (world_.count(pid) == 0) return pid;
    }
    return 0;
  }

  std::uint32_t spawn(std::uint32_t parent, std::uint64_t start) {
    const std::uint32_t pid = freePid();
    if (pid == 0) return 0;
    WorldProcess p;
    p.ppid = parent;
    p.start = start;
    p.path = randomPath();
    p.args = randomArgs(p.path);
    if (options_.linuxLike) p.diskDenied = chance(0.1);
    p.incarnation = ++incarnations_;
    if (options_.distinctInstants) p.instant = p.incarnation;
    if (options_.kernelParents) p.start = notBeforeParent(parent, start);
    world_[pid] = std::move(p);
    ++tally_.starts;
    return pid;
  }

  void exitProcess(std::uint32_t pid) {
    if (pid == 1) return;
    world_.erase(pid);
    ++tally_.exits;
    // Orphans go to pid 1 at once, or keep the dead parent's pid until a
    // later step (the listing may catch them in between).
    const bool reparentNow = chance(0.7);
    if (reparentNow || options_.kernelParents) reparentChildrenOf(pid);
  }

  /// A kernel's start times come from a clock that never goes back, and a
  /// parent exists before its child: no child starts before its parent.
  std::uint64_t notBeforeParent(std::uint32_t parent, std::uint64_t start) const {
    const auto found = world_.find(parent);
    return found == world_.end() ? start : std::max(start, found->second.start);
  }

  void reparentChildrenOf(std::uint32_t pid) {
    for (auto& [child, p] : world_) {
      if (p.ppid == pid && child != pid) p.ppid = 1;
    }
  }

  Profile profile_;
  std::mt19937 random_;
  std::vector<procinfo::FakePlatform*> platforms_;
  WorldOptions options_;
  std::map<std::uint32_t, WorldProcess> world_;
  std::unordered_map<std::uint32_t, Faults> faults_;
  std::vector<std::uint32_t> scriptedPids_;
  std::optional<std::vector<std::uint32_t>> listed_;
  std::uint32_t rootPid_ = 1;
  std::uint64_t incarnations_ = 0;
  ExternalProcessMap externals_;
  Tally tally_;
};

}  // namespace sidecar::sampling::testing
