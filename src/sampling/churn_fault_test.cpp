// Randomized churn and fault injection on the fake platform, run through the
// sampler, the history and the process table together.
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
// A small reference model applies the record-keeping rules of the source
// (who is kept, replaced, built or dropped, and with which start time, name,
// parent and arguments) to the same script. After every refresh and every
// sample the test checks the source against the model and the snapshot and
// the history against their invariants, and reports the seed and step of the
// first violation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "procinfo/argument_area.h"
#include "procinfo/fake/fake_clock.h"
#include "procinfo/fake/fake_platform.h"
#include "procinfo/process_info_source.h"
#include "protocol/byte_sink.h"
#include "protocol/message_writer.h"
#include "sampling/history_buffer.h"
#include "sampling/process_sample.h"
#include "sampling/process_table.h"
#include "sampling/read_history.h"
#include "sampling/sampler.h"

namespace sidecar::sampling {
namespace {

using namespace std::chrono_literals;
using procinfo::FakePlatform;
using procinfo::ProcessInfo;

// ---------------------------------------------------------------------------
// The world: what really runs, as the test scripts it.

struct WorldProcess {
  std::uint32_t ppid = 0;
  std::uint64_t start = 0;
  std::string path;
  std::vector<std::string> args;
  procinfo::TaskInfo task;
  procinfo::DiskCounters disk;
  std::int32_t threadState = procinfo::ThreadState::RUN_STATE_RUNNING;
  /// A zombie keeps its basic information but has no arguments or path.
  bool zombie = false;
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
};

// ---------------------------------------------------------------------------
// The reference model of the source's records.

struct ModelRecord {
  std::uint64_t start = 0;
  std::string name;
  std::optional<std::uint32_t> parentPid;
  std::vector<std::string> args;
  std::uint64_t resident = 0;
  std::uint64_t diskRead = 0;
  std::optional<std::int32_t> threadState;
  bool seen = false;
};

using Model = std::map<std::uint32_t, ModelRecord>;

std::vector<std::string> nonEmpty(const std::vector<std::string>& args) {
  std::vector<std::string> kept;
  for (const auto& a : args) {
    if (!a.empty()) kept.push_back(a);
  }
  return kept;
}

std::optional<std::uint32_t> parentOf(std::uint32_t ppid) {
  return ppid == 0 ? std::nullopt : std::optional<std::uint32_t>(ppid);
}

/// What one refresh of `model` should leave, given the world, this step's
/// listing (empty optional: the listing fails) and faults.
class ModelRefresh {
 public:
  ModelRefresh(const std::map<std::uint32_t, WorldProcess>& world,
               const std::unordered_map<std::uint32_t, Faults>& faults, procinfo::RefreshSelection selection)
      : world_(world), faults_(faults), selection_(selection) {}

  void apply(Model& model, const std::optional<std::vector<std::uint32_t>>& listed) const {
    if (!listed || listed->empty()) {
      model.clear();
      return;
    }
    std::vector<std::pair<std::uint32_t, ModelRecord>> pending;
    for (const std::uint32_t pid : *listed) {
      const Reads r = reads(pid);
      const auto known = model.find(pid);
      if (known == model.end()) {
        build(pid, r, pending);
        continue;
      }
      ModelRecord& rec = known->second;
      if (r.basic && r.w->start != rec.start) {
        rec.seen = true;
        rec.name.clear();
        build(pid, r, pending);
        continue;
      }
      if (r.basic) {
        rec.parentPid = parentOf(r.w->ppid);
        if (r.area) {
          if (rec.name.empty()) rec.name = std::string(procinfo::lastPathComponent(r.w->path));
          if (selection_.commandLine) rec.args = nonEmpty(r.w->args);
        } else if (rec.name.empty() && r.path) {
          rec.name = std::string(procinfo::lastPathComponent(r.w->path));
        }
      } else {
        if (!r.path) continue;  // not seen: dropped
        if (rec.name.empty()) rec.name = std::string(procinfo::lastPathComponent(r.w->path));
        if (r.area && selection_.commandLine) rec.args = nonEmpty(r.w->args);
      }
      if (selection_.diskUsage && r.disk) rec.diskRead = r.w->disk.bytesRead;
      rec.threadState = r.thread ? r.w->threadState : procinfo::ThreadState::RUN_STATE_RUNNING;
      if (selection_.memory) rec.resident = r.task ? r.w->task.residentSize : 0;
      rec.seen = true;
    }
    for (auto& [pid, rec] : pending) model[pid] = std::move(rec);
    for (auto it = model.begin(); it != model.end();) {
      if (!it->second.seen) {
        it = model.erase(it);
      } else {
        it->second.seen = false;
        ++it;
      }
    }
  }

 private:
  struct Reads {
    const WorldProcess* w = nullptr;
    bool basic = false;
    bool task = false;
    bool thread = false;
    bool disk = false;
    bool area = false;
    bool path = false;
  };

  Reads reads(std::uint32_t pid) const {
    Reads r;
    const auto found = world_.find(pid);
    if (found == world_.end()) return r;  // listed but gone: nothing reads
    r.w = &found->second;
    const auto f = faults_.find(pid);
    const Faults none;
    const Faults& fault = f == faults_.end() ? none : f->second;
    r.basic = !fault.basic;
    r.task = !fault.task;
    r.thread = !fault.thread;
    r.disk = !fault.disk;
    r.area = !fault.area && !r.w->zombie;
    r.path = !fault.path && !r.w->zombie && !r.w->path.empty();
    return r;
  }

  void build(std::uint32_t pid, const Reads& r, std::vector<std::pair<std::uint32_t, ModelRecord>>& pending) const {
    if (r.w == nullptr) return;
    ModelRecord rec;
    rec.seen = true;
    if (!r.basic) {
      if (!r.path) return;
      rec.name = std::string(procinfo::lastPathComponent(r.w->path));
      pending.emplace_back(pid, std::move(rec));
      return;
    }
    rec.start = r.w->start;
    rec.parentPid = parentOf(r.w->ppid);
    if (r.area) {
      rec.name = std::string(procinfo::lastPathComponent(r.w->path));
      if (selection_.commandLine) rec.args = nonEmpty(r.w->args);
    } else if (r.path) {
      rec.name = std::string(procinfo::lastPathComponent(r.w->path));
    } else if (!r.w->zombie) {
      return;  // a zombie's basic information alone keeps it, nameless
    }
    if (selection_.memory) rec.resident = r.task ? r.w->task.residentSize : 0;
    if (selection_.diskUsage && r.disk) rec.diskRead = r.w->disk.bytesRead;
    pending.emplace_back(pid, std::move(rec));
  }

  const std::map<std::uint32_t, WorldProcess>& world_;
  const std::unordered_map<std::uint32_t, Faults>& faults_;
  procinfo::RefreshSelection selection_;
};

// ---------------------------------------------------------------------------
// Checks. Each returns the first violation found, or an empty string.

std::string describe(std::uint32_t pid, const char* what) {
  std::ostringstream out;
  out << "pid " << pid << ": " << what;
  return out.str();
}

bool validUtf8(const std::string& text) {
  std::size_t i = 0;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  while (i < text.size()) {
    const unsigned char c = s[i];
    std::size_t length = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) { i += 1; continue; }
    if ((c & 0xE0) == 0xC0) { length = 2; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { length = 3; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { length = 4; cp = c & 0x07; }
    else return false;
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < smallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

/// The source's map against the model, and against the listing and the world.
std::string checkSource(const procinfo::ProcessMap& map, const Model& model,
                        const std::optional<std::vector<std::uint32_t>>& listed,
                        const std::map<std::uint32_t, WorldProcess>& world,
                        const std::unordered_map<std::uint32_t, Faults>& faults) {
  if (map.size() != model.size()) {
    std::ostringstream out;
    out << "source holds " << map.size() << " records, expected " << model.size();
    for (const auto& [pid, rec] : model) {
      if (map.count(pid) == 0) out << "; missing pid " << pid;
    }
    for (const auto& [pid, info] : map) {
      if (model.count(pid) == 0) out << "; unexpected pid " << pid;
    }
    return out.str();
  }
  const std::set<std::uint32_t> listedSet = listed ? std::set<std::uint32_t>(listed->begin(), listed->end())
                                                   : std::set<std::uint32_t>();
  for (const auto& [pid, info] : map) {
    if (info.pid != pid) return describe(pid, "record keyed under another pid");
    if (listedSet.count(pid) == 0) return describe(pid, "record for a pid that was not listed");
    const auto expected = model.find(pid);
    if (expected == model.end()) return describe(pid, "record the model does not expect");
    const ModelRecord& rec = expected->second;
    if (info.startTime != rec.start) return describe(pid, "start time differs from the model");
    // A record whose pid now belongs to a readable process with another start
    // survives only nameless, when the new process could not be identified.
    const auto live = world.find(pid);
    const auto fault = faults.find(pid);
    const bool basicReadable = live != world.end() && (fault == faults.end() || !fault->second.basic);
    if (basicReadable && info.startTime != live->second.start && !info.name.empty()) {
      return describe(pid, "a record with a stale start time survived a reuse under its old name");
    }
    if (info.name != rec.name) return describe(pid, ("name '" + info.name + "' expected '" + rec.name + "'").c_str());
    if (info.parentPid != rec.parentPid) return describe(pid, "parent differs from the model");
    if (info.commandLine != rec.args) return describe(pid, "arguments differ from the model");
    if (info.residentMemory != rec.resident) return describe(pid, "resident memory differs from the model");
    if (info.diskReadBytes != rec.diskRead) return describe(pid, "disk counter differs from the model");
    if (info.threadState.has_value() != rec.threadState.has_value() ||
        (info.threadState && info.threadState->code != *rec.threadState)) {
      return describe(pid, "thread state differs from the model");
    }
    if (!std::isfinite(info.cpuUsage) || info.cpuUsage < 0.0F) return describe(pid, "CPU usage not finite or negative");
    if (info.seen) return describe(pid, "seen flag left set after the refresh");
  }
  return {};
}

/// The selection the sampler must make, computed from the source's map.
struct ExpectedSelection {
  std::set<std::uint32_t> pids;
  std::set<std::pair<std::uint32_t, std::uint64_t>> externals;
};

ExpectedSelection expectedSelection(const procinfo::ProcessMap& map, std::uint32_t rootPid,
                                    const ExternalProcessMap& externals) {
  ExpectedSelection result;
  std::vector<std::uint32_t> frontier;
  if (map.count(rootPid) != 0) frontier.push_back(rootPid);
  for (const auto& [pid, expected] : externals) {
    const auto found = map.find(pid);
    if (found == map.end()) continue;
    const std::uint64_t startMs = found->second.startTime * 1000;
    if (expected && *expected / 1000 * 1000 != startMs) continue;
    result.externals.emplace(pid, startMs);
    frontier.push_back(pid);
  }
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> children;
  for (const auto& [pid, info] : map) children[info.parentPid.value_or(0)].push_back(pid);
  while (!frontier.empty()) {
    const std::uint32_t pid = frontier.back();
    frontier.pop_back();
    if (!result.pids.insert(pid).second) continue;
    const std::uint64_t parentStart = map.at(pid).startTime;
    for (const std::uint32_t child : children[pid]) {
      if (map.at(child).startTime >= parentStart) frontier.push_back(child);
    }
  }
  return result;
}

std::string checkSnapshot(const protocol::Snapshot& snapshot, std::uint64_t previousSequence,
                          const procinfo::ProcessMap& map, const std::optional<std::vector<std::uint32_t>>& listed,
                          std::uint32_t rootPid, const ExternalProcessMap& externals,
                          const std::optional<std::string>& requestId) {
  std::ostringstream out;
  if (snapshot.sequence != previousSequence + 1) {
    out << "sequence " << snapshot.sequence << " after " << previousSequence;
    return out.str();
  }
  if (snapshot.requestId != requestId) return "request id not carried";
  if (snapshot.scannedProcessCount != map.size()) return "scanned count is not the number of records";
  if (snapshot.retainedProcessCount != snapshot.processes.size()) return "retained count is not processes.size()";
  const ExpectedSelection expected = expectedSelection(map, rootPid, externals);
  if (snapshot.retainedProcessCount + snapshot.inaccessibleProcessCount != expected.pids.size()) {
    out << "retained " << snapshot.retainedProcessCount << " + inaccessible " << snapshot.inaccessibleProcessCount
        << " != selected " << expected.pids.size();
    return out.str();
  }
  const std::set<std::uint32_t> listedSet = listed ? std::set<std::uint32_t>(listed->begin(), listed->end())
                                                   : std::set<std::uint32_t>();
  std::vector<std::uint32_t> got;
  for (std::size_t i = 0; i < snapshot.processes.size(); ++i) {
    const protocol::ProcessSample& sample = snapshot.processes[i];
    if (i > 0 && snapshot.processes[i - 1].pid >= sample.pid) return describe(sample.pid, "processes not sorted by pid");
    if (listedSet.count(sample.pid) == 0) return describe(sample.pid, "selected pid that was not listed");
    const auto found = map.find(sample.pid);
    if (found == map.end()) return describe(sample.pid, "sampled pid without a record");
    const ProcessInfo& info = found->second;
    if (sample.startTimeMs != info.startTime * 1000) return describe(sample.pid, "sample start time differs");
    if (sample.ppid != info.parentPid.value_or(0)) return describe(sample.pid, "sample parent differs");
    if (!validUtf8(sample.name) || !validUtf8(sample.command) || !validUtf8(sample.status)) {
      return describe(sample.pid, "text of a sample is not valid UTF-8");
    }
    if (sample.name.size() > NAME_MAX_BYTES || sample.command.size() > COMMAND_MAX_BYTES ||
        sample.status.size() > STATUS_MAX_BYTES || sample.status.empty()) {
      return describe(sample.pid, "text of a sample breaks its limit");
    }
    got.push_back(sample.pid);
  }
  if (got != std::vector<std::uint32_t>(expected.pids.begin(), expected.pids.end())) {
    out << "selected " << got.size() << " pids, expected " << expected.pids.size();
    return out.str();
  }
  std::set<std::pair<std::uint32_t, std::uint64_t>> externalsGot;
  for (const auto& external : snapshot.externalProcesses) {
    if (!external.startTimeMs) return describe(external.pid, "matched external process without a start time");
    if (!externalsGot.emplace(external.pid, *external.startTimeMs).second) {
      return describe(external.pid, "external process listed twice");
    }
  }
  if (externalsGot != expected.externals) return "matched external processes differ";
  return {};
}

std::string checkHistory(const HistoryBuffer& history, const protocol::Snapshot& appended) {
  std::uint64_t entries = 0;
  std::uint64_t bytes = 0;
  std::ostringstream out;
  const auto& kept = history.snapshots();
  for (std::size_t i = 0; i < kept.size(); ++i) {
    const protocol::Snapshot& s = kept[i];
    entries += s.processes.size() + s.externalProcesses.size();
    bytes += 144 + 24 * s.externalProcesses.size();
    for (const auto& p : s.processes) bytes += 144 + p.name.size() + p.command.size() + p.status.size();
    if (s.requestId) return "a kept snapshot has a request id";
    if (i > 0 && kept[i - 1].sampledAtUnixMs > s.sampledAtUnixMs) return "kept snapshots out of time order";
    if (i > 0 && kept[i - 1].sequence >= s.sequence) return "kept snapshots out of sequence order";
    if (s.sampledAtUnixMs > appended.sampledAtUnixMs) return "a kept snapshot is newer than the one appended last";
  }
  if (entries != history.entryCount()) {
    out << "entry counter " << history.entryCount() << ", recount " << entries;
    return out.str();
  }
  if (bytes != history.estimatedBytes()) {
    out << "byte counter " << history.estimatedBytes() << ", recount " << bytes;
    return out.str();
  }
  if (kept.size() > HISTORY_MAX_SNAPSHOTS) return "more snapshots than the count bound";
  if (entries > HISTORY_MAX_ENTRIES) return "more entries than the entry bound";
  if (bytes > HISTORY_MAX_BYTES) return "more bytes than the byte bound";
  if (!kept.empty() && kept.front().sampledAtUnixMs + HISTORY_MAX_AGE_MS < appended.sampledAtUnixMs) {
    return "oldest snapshot older than the age bound";
  }
  const std::uint64_t ownEntries = appended.processes.size() + appended.externalProcesses.size();
  if (ownEntries <= HISTORY_MAX_ENTRIES && estimatedSnapshotBytes(appended) <= HISTORY_MAX_BYTES) {
    if (kept.empty() || kept.back().sequence != appended.sequence) return "the appended snapshot was not kept";
    protocol::Snapshot plain = appended;
    plain.requestId.reset();
    if (!(kept.back() == plain)) return "the kept copy differs from the appended snapshot";
  }
  return {};
}

// ---------------------------------------------------------------------------
// The run.

class ChurnRun {
 public:
  explicit ChurnRun(const Profile& profile)
      : profile_(profile), random_(profile.seed), platform_(clock_), sampler_(platform_, clock_) {}

  /// Runs every step; stops at the first violation (a gtest failure).
  void run() {
    std::uint64_t now = nowSeconds();
    world_[1] = WorldProcess{0, now - 100000, "/sbin/launchd", {"launchd"}, {}, {}, 1, false};
    rootPid_ = spawn(1, now - 50);
    for (std::size_t i = 0; i < profile_.targetSize / 2; ++i) spawn(randomLivePid(), now - 10);
    chooseExternals();
    for (step_ = 0; step_ < profile_.steps; ++step_) {
      churn();
      if (chance(0.05)) chooseExternals();
      scriptPlatform();
      if (chance(0.1)) {
        sampler_.prime();
        afterRefresh();
      } else {
        sample();
      }
      if (::testing::Test::HasFatalFailure()) return;
      if (chance(0.03)) checkProcessTable();
      if (chance(0.02)) checkReadHistory();
      if (::testing::Test::HasFatalFailure()) return;
    }
    std::cout << "[churn] " << profile_.label << " seed " << profile_.seed << ": " << profile_.steps
              << " steps survived, " << tally_.refreshes << " refreshes, " << tally_.snapshots << " snapshots, "
              << tally_.faults << " faults injected; " << tally_.starts << " starts, " << tally_.exits << " exits, "
              << tally_.reuses << " pid reuses, " << tally_.reparents << " re-parentings, " << tally_.zombies
              << " zombies, " << tally_.execs << " execs, " << tally_.clockJumps << " clock jumps; "
              << tally_.tables << " process tables, " << tally_.historyReads << " history reads; largest selection "
              << tally_.maxSelected << ", history up to " << tally_.maxHistory << " snapshots / "
              << tally_.maxHistoryEntries << " entries / " << tally_.maxHistoryBytes << " bytes\n";
  }

 private:
  bool chance(double p) { return std::bernoulli_distribution(p)(random_); }
  std::uint32_t below(std::uint32_t n) { return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(random_); }

  std::uint64_t nowSeconds() {
    const auto wall = std::chrono::duration_cast<std::chrono::seconds>(clock_.wallNow()).count();
    return wall < 0 ? 0 : static_cast<std::uint64_t>(wall);
  }

  std::uint32_t randomLivePid() {
    auto it = world_.begin();
    std::advance(it, below(static_cast<std::uint32_t>(world_.size())));
    return it->first;
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
    if (profile_.longArguments > 0 && chance(profile_.longArgumentRate)) args.push_back(std::string(profile_.longArguments, 'L'));
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
    for (auto& [child, p] : world_) {
      if (p.ppid == pid && reparentNow) p.ppid = 1;
    }
  }

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
        fresh.path = randomPath();
        fresh.args = randomArgs(fresh.path);
        world_[pid] = std::move(fresh);
        ++tally_.reuses;
      } else if (pick < 70) {
        if (pid == 1) continue;
        world_[pid].ppid = chance(0.1) ? 0 : randomLivePid();  // cycles and parentless processes included
        ++tally_.reparents;
      } else if (pick < 75) {
        if (pid == 1) continue;
        if (world_[pid].zombie) {
          exitProcess(pid);  // reaped
        } else {
          world_[pid].zombie = true;
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
        p.task.virtualSize = p.task.residentSize * 4;
        p.disk.bytesRead += below(1 << 20);
        p.disk.bytesWritten += below(1 << 20);
        p.threadState = static_cast<std::int32_t>(below(7));
      }
    }
    // Time passes: usually a fraction of a second, sometimes a long gap (the
    // history's age bound), sometimes the wall clock is set back.
    if (chance(profile_.jumpRate)) {
      platform_.advance(std::chrono::seconds(600 + below(1800)));
      ++tally_.clockJumps;
    } else if (chance(profile_.jumpRate)) {
      clock_.setWall(clock_.wallNow() - std::chrono::seconds(1 + below(120)));
      ++tally_.clockJumps;
    } else {
      platform_.advance(std::chrono::milliseconds(below(1500)));
    }
  }

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

  /// Writes the world and this step's faults into the fake.
  void scriptPlatform() {
    faults_.clear();
    std::vector<std::uint32_t> gone;
    for (const std::uint32_t pid : scriptedPids_) {
      if (world_.count(pid) == 0) gone.push_back(pid);
    }
    for (const std::uint32_t pid : gone) platform_.removeProcess(pid);
    scriptedPids_.clear();
    const double rate = profile_.faultRate;
    for (const auto& [pid, p] : world_) {
      procinfo::FakeProcess& entry = platform_.addProcess(pid, p.ppid, p.start, "x");
      entry.path = p.path;
      entry.argumentArea = procinfo::makeArgumentArea(p.path, p.args, {"HOME=/nowhere"});
      entry.task = p.task;
      entry.disk = p.disk;
      entry.thread = procinfo::ThreadInfo{p.threadState, 0, 0};
      if (p.zombie) {
        entry.basic->state = procinfo::ProcessState(procinfo::ProcessState::Kind::Zombie);
        entry.argumentArea.reset();
        entry.path.reset();
      }
      Faults f;
      f.basic = chance(rate);
      f.task = chance(rate);
      f.thread = chance(rate);
      f.disk = chance(rate);
      f.area = chance(rate);
      f.path = chance(rate);
      tally_.faults += f.basic + f.task + f.thread + f.disk + f.area + f.path;
      if (f.basic) entry.basic.reset();
      if (f.task) entry.task = {};
      if (f.thread) entry.thread.reset();
      if (f.disk) entry.disk.reset();
      if (f.area) entry.argumentArea.reset();
      if (f.path) entry.path.reset();
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
    platform_.setListingOrder(order);
    if (chance(0.03)) {
      platform_.failListing(1);
      listed_.reset();
      ++tally_.faults;
    }
    if (chance(0.05)) {
      platform_.failProcessorTicks(1);
      ++tally_.faults;
    }
  }

  /// Every refresh: the sampler's source against the model.
  void afterRefresh() {
    ++tally_.refreshes;
    ModelRefresh(world_, faults_, procinfo::RefreshSelection::everything()).apply(model_, listed_);
    const std::string problem = checkSource(sampler_.source().processes(), model_, listed_, world_, faults_);
    ASSERT_EQ(problem, "") << "seed " << profile_.seed << " step " << step_ << " (" << profile_.label << ")";
  }

  void sample() {
    std::optional<std::string> requestId;
    if (chance(0.2)) {
      // Appended, not "r" + std::to_string(...): g++ 12 at -O3 inlines that
      // operator's insert here and warns wrongly of overlapping copies
      // (-Wrestrict).
      requestId.emplace("r");
      requestId->append(std::to_string(step_));
    }
    const std::uint64_t before = sampler_.sequence();
    const protocol::Snapshot snapshot = sampler_.takeSnapshot(rootPid_, externals_, requestId);
    afterRefresh();
    if (::testing::Test::HasFatalFailure()) return;
    ++tally_.snapshots;
    std::string problem =
        checkSnapshot(snapshot, before, sampler_.source().processes(), listed_, rootPid_, externals_, requestId);
    ASSERT_EQ(problem, "") << "seed " << profile_.seed << " step " << step_ << " (" << profile_.label << ")";
    tally_.maxSelected = std::max(tally_.maxSelected, snapshot.processes.size());

    history_.append(snapshot);
    problem = checkHistory(history_, snapshot);
    ASSERT_EQ(problem, "") << "seed " << profile_.seed << " step " << step_ << " (" << profile_.label << ")";
    tally_.maxHistoryEntries = std::max(tally_.maxHistoryEntries, history_.entryCount());
    tally_.maxHistory = std::max(tally_.maxHistory, history_.size());
    tally_.maxHistoryBytes = std::max(tally_.maxHistoryBytes, history_.estimatedBytes());
  }

  /// A process table from a fresh source on the same platform, against a
  /// model that starts empty and reads only the basic values.
  void checkProcessTable() {
    ++tally_.tables;
    // The table makes its own refresh: the listing failure (one-shot) and the
    // ghost pids apply to whichever refresh comes first, so script afresh.
    scriptPlatform();
    Model fresh;
    ModelRefresh(world_, faults_, procinfo::RefreshSelection::nothing()).apply(fresh, listed_);
    const std::vector<protocol::ProcessTableEntry> table = buildProcessTable(platform_);
    std::ostringstream problem;
    if (table.size() != fresh.size()) {
      problem << "table has " << table.size() << " rows, expected " << fresh.size();
    } else {
      auto expected = fresh.begin();
      for (const auto& row : table) {
        if (row.pid != expected->first || row.ppid != expected->second.parentPid.value_or(0) ||
            !validUtf8(row.name) || row.name.size() > NAME_MAX_BYTES) {
          problem << "row for pid " << row.pid << " differs (expected pid " << expected->first << ")";
          break;
        }
        ++expected;
      }
    }
    ASSERT_EQ(problem.str(), "") << "seed " << profile_.seed << " step " << step_ << " (" << profile_.label << ")";
  }

  /// A history read writes ceil(n / 32) chunk lines (one when nothing is
  /// selected) for the n kept snapshots of the window.
  void checkReadHistory() {
    ++tally_.historyReads;
    const std::uint64_t windowMs = chance(0.5) ? READ_WINDOW_MAX_MS * 2 : below(600'000);
    const std::uint64_t nowMs = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_.wallNow()).count());
    const std::size_t n =
        history_.selectRange(nowMs - std::min(nowMs, std::min(windowMs, READ_WINDOW_MAX_MS)), nowMs).size();
    protocol::MemorySink sink;
    protocol::MessageWriter writer(sink);
    ASSERT_TRUE(answerReadHistory(history_, windowMs, "h", writer, clock_).isOk());
    const std::string& bytes = sink.bytes();
    const auto lines = static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
    const std::size_t expected = n == 0 ? 1 : (n + HISTORY_CHUNK_SIZE - 1) / HISTORY_CHUNK_SIZE;
    ASSERT_EQ(lines, expected) << "seed " << profile_.seed << " step " << step_ << ": " << n << " snapshots";
    ASSERT_NE(bytes.rfind("\"done\":true"), std::string::npos);
  }

  Profile profile_;
  std::mt19937 random_;
  procinfo::FakeClock clock_;
  FakePlatform platform_;
  Sampler sampler_;
  HistoryBuffer history_;
  Model model_;
  std::map<std::uint32_t, WorldProcess> world_;
  std::unordered_map<std::uint32_t, Faults> faults_;
  std::vector<std::uint32_t> scriptedPids_;
  std::optional<std::vector<std::uint32_t>> listed_;
  std::uint32_t rootPid_ = 1;
  ExternalProcessMap externals_;
  Tally tally_;
  int step_ = 0;
};

class ChurnFaultTest : public ::testing::TestWithParam<Profile> {};

TEST_P(ChurnFaultTest, RecordsSelectionCountsAndHistoryHoldUnderChurnAndFaults) {
  ChurnRun run(GetParam());
  run.run();
}

// Small pid spaces make reuse frequent; long arguments push the history to
// its byte bound; a tiny tree with many steps reaches the count bound.
INSTANTIATE_TEST_SUITE_P(
    Seeds, ChurnFaultTest,
    ::testing::Values(Profile{"dense reuse", 1, 3000, 80, 40, 0.10, 0, 0, 0.1, 0.01},
                      Profile{"heavy faults", 2, 2000, 200, 60, 0.35, 0, 0, 0.1, 0.01},
                      Profile{"large tree", 3, 800, 2000, 400, 0.05, 0, 0, 0.6, 0.002},
                      Profile{"long arguments", 4, 250, 600, 200, 0.05, 16000, 1.0, 0.6, 0.0},
                      Profile{"small tree, long run", 5, 4500, 40, 3, 0.05, 0, 0, 0.1, 0.0}),
    [](const ::testing::TestParamInfo<Profile>& info) { return "seed" + std::to_string(info.param.seed); });

}  // namespace
}  // namespace sidecar::sampling
