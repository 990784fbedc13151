// Randomized churn and fault injection on the fake platform, run through the
// sampler, the history and the process table together. The world, its churn
// and the faults are those of test_support/sampling/churn_world.h.
//
// A small reference model applies the record-keeping rules of the source
// (who is kept, replaced, built or dropped, and with which start time, name,
// parent and arguments; which values are read for every process and which
// for the watched ones only) to the same script. After every refresh and
// every sample the test checks the source against the model and the
// snapshot and the history against their invariants, and reports the seed
// and step of the first violation.
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
#include "procinfo/argument_collector.h"
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
#include "test_support/sampling/churn_world.h"

namespace sidecar::sampling {
namespace {

using namespace std::chrono_literals;
using procinfo::FakePlatform;
using procinfo::ProcessInfo;
using testing::ChurnWorld;
using testing::Faults;
using testing::Profile;
using testing::Tally;
using testing::WorldOptions;
using testing::WorldProcess;

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
  /// What step two of the refresh reads: nothing, a known process's
  /// details, a new record's.
  enum class Details { none, ofKnown, ofNew } details = Details::none;
  /// Picked at the previous refresh: a known process's details are read in
  /// step one.
  bool pickedLast = false;
};

using Model = std::map<std::uint32_t, ModelRecord>;

// What the source keeps of an argument list: the non-empty arguments, as
// far as their text joined by single spaces reaches
// COMMAND_LINE_KEPT_BYTES, the last one cut there.
std::vector<std::string> nonEmpty(const std::vector<std::string>& args) {
  std::vector<std::string> kept;
  std::size_t joined = 0;
  for (const auto& a : args) {
    if (a.empty()) continue;
    if (!kept.empty()) ++joined;
    if (joined >= procinfo::COMMAND_LINE_KEPT_BYTES) break;
    const std::size_t take = std::min(a.size(), procinfo::COMMAND_LINE_KEPT_BYTES - joined);
    kept.push_back(a.substr(0, take));
    joined += take;
  }
  return kept;
}

std::optional<std::uint32_t> parentOf(std::uint32_t ppid) {
  return ppid == 0 ? std::nullopt : std::optional<std::uint32_t>(ppid);
}

/// The selection the sampler must make, computed from a map of records.
struct ExpectedSelection {
  std::set<std::uint32_t> pids;
  std::set<std::pair<std::uint32_t, std::uint64_t>> externals;
};

ExpectedSelection expectedSelection(const procinfo::ProcessMap& map, std::uint32_t rootPid,
                                    const ExternalProcessMap& externals);

/// What one refresh of `model` should leave, given the world, this step's
/// listing (empty optional: the listing fails) and faults: step one reads
/// the basic values of every listed process (and the memory size too when
/// the platform reads task information with them), step two the details of
/// the watched processes, or of every process when no selection is given.
class ModelRefresh {
 public:
  struct Watched {
    std::uint32_t rootPid;
    const ExternalProcessMap& externals;
  };

  ModelRefresh(const std::map<std::uint32_t, WorldProcess>& world,
               const std::unordered_map<std::uint32_t, Faults>& faults, procinfo::RefreshSelection selection,
               bool linuxLike, bool taskWithBasics)
      : world_(world), faults_(faults), selection_(selection), linuxLike_(linuxLike), taskWithBasics_(taskWithBasics) {}

  void apply(Model& model, const std::optional<std::vector<std::uint32_t>>& listed,
             const std::optional<Watched>& watched) const {
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
        rec.details = ModelRecord::Details::none;
        build(pid, r, pending);
        continue;
      }
      if (r.basic) {
        rec.parentPid = parentOf(r.w->ppid);
        if (rec.name.empty() && (r.area || r.path)) rec.name = std::string(procinfo::lastPathComponent(r.w->path));
      } else {
        if (!r.path) continue;  // not seen: dropped
        if (rec.name.empty()) rec.name = std::string(procinfo::lastPathComponent(r.w->path));
      }
      rec.details = ModelRecord::Details::ofKnown;
      if (taskWithBasics_ && selection_.memory && r.task) rec.resident = r.w->task.residentSize;
      rec.seen = true;
      if (rec.pickedLast) readDetails(rec, r);  // in the same visit
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

    std::set<std::uint32_t> picked;
    if (watched) {
      procinfo::ProcessMap nodes;
      for (const auto& [pid, rec] : model) {
        procinfo::ProcessInfo& info = nodes[pid];
        info.pid = pid;
        info.parentPid = rec.parentPid;
        info.startTime = rec.start;
      }
      picked = expectedSelection(nodes, watched->rootPid, watched->externals).pids;
    } else {
      for (const auto& [pid, rec] : model) picked.insert(pid);
    }
    for (auto& [pid, rec] : model) {
      rec.pickedLast = watched && picked.count(pid) != 0;
      if (picked.count(pid) != 0) readDetails(rec, reads(pid));
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

  void readDetails(ModelRecord& rec, const Reads& r) const {
    if (rec.details == ModelRecord::Details::none) return;
    if (selection_.commandLine && r.area) rec.args = r.w->zombie ? std::vector<std::string>{} : nonEmpty(r.w->args);
    if (selection_.diskUsage && r.disk) rec.diskRead = r.w->disk.bytesRead;
    if (rec.details == ModelRecord::Details::ofKnown) {
      rec.threadState = r.thread ? r.w->threadState : procinfo::ThreadState::RUN_STATE_RUNNING;
    }
    if (!taskWithBasics_ && selection_.memory && r.task) rec.resident = r.w->task.residentSize;
    rec.details = ModelRecord::Details::none;
  }

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
    r.disk = !fault.disk && !r.w->diskDenied;
    // A zombie's arguments: none to read on macOS, an empty list on Linux.
    r.area = !fault.area && (!r.w->zombie || linuxLike_);
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
    if (r.area || r.path) {
      rec.name = std::string(procinfo::lastPathComponent(r.w->path));
    } else if (!r.w->zombie) {
      return;  // a zombie's basic information alone keeps it, nameless
    }
    rec.details = ModelRecord::Details::ofNew;
    if (taskWithBasics_ && selection_.memory && r.task) rec.resident = r.w->task.residentSize;
    pending.emplace_back(pid, std::move(rec));
  }

  const std::map<std::uint32_t, WorldProcess>& world_;
  const std::unordered_map<std::uint32_t, Faults>& faults_;
  procinfo::RefreshSelection selection_;
  bool linuxLike_;
  bool taskWithBasics_;
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
  // With no record at all, the named processes (root and externals, each
  // pid once) count as inaccessible: they could not be looked for.
  const std::size_t named = externals.size() + (externals.count(rootPid) == 0 ? 1 : 0);
  if (map.empty() && snapshot.inaccessibleProcessCount != named) {
    out << "nothing listed, inaccessible " << snapshot.inaccessibleProcessCount << " != named " << named;
    return out.str();
  }
  if (!map.empty() && snapshot.retainedProcessCount + snapshot.inaccessibleProcessCount != expected.pids.size()) {
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

/// Which platform a run models: macOS (the fake's default) or Linux (the
/// task information read with the basic values, the state following the
/// latest refresh, zombies with empty argument lists).
struct Mode {
  bool linuxLike = false;
};

class ChurnRun {
 public:
  ChurnRun(const Profile& profile, Mode mode)
      : profile_(profile),
        mode_(mode),
        platform_(clock_),
        world_(profile, {&platform_}, WorldOptions{mode.linuxLike, {}}),
        sampler_(configured(platform_, mode), clock_) {}

  /// Runs every step; stops at the first violation (a gtest failure).
  void run() {
    world_.populate();
    for (step_ = 0; step_ < profile_.steps; ++step_) {
      world_.churn();
      if (world_.chance(0.05)) world_.chooseExternals();
      world_.script();
      if (world_.chance(0.1)) {
        sampler_.prime(world_.rootPid(), world_.externals());
        afterRefresh();
      } else {
        sample();
      }
      if (::testing::Test::HasFatalFailure()) return;
      if (world_.chance(0.03)) checkProcessTable();
      if (world_.chance(0.02)) checkReadHistory();
      if (::testing::Test::HasFatalFailure()) return;
    }
    const Tally& tally = world_.tally();
    std::cout << "[churn] " << profile_.label << " seed " << profile_.seed << (mode_.linuxLike ? " (linux)" : "")
              << ": " << profile_.steps << " steps survived, " << tally.refreshes << " refreshes, " << tally.snapshots
              << " snapshots, " << tally.faults << " faults injected; " << tally.starts << " starts, " << tally.exits
              << " exits, " << tally.reuses << " pid reuses, " << tally.reparents << " re-parentings, "
              << tally.zombies << " zombies, " << tally.execs << " execs, " << tally.clockJumps << " clock jumps; "
              << tally.tables << " process tables, " << tally.historyReads << " history reads; largest selection "
              << tally.maxSelected << ", history up to " << tally.maxHistory << " snapshots / "
              << tally.maxHistoryEntries << " entries / " << tally.maxHistoryBytes << " bytes\n";
  }

 private:
  /// Set before the sampler's source is made: it asks once.
  static FakePlatform& configured(FakePlatform& platform, Mode mode) {
    platform.setStateFollowsLatestRefresh(mode.linuxLike);
    platform.setTaskInfoComesWithBasicInfo(mode.linuxLike);
    return platform;
  }

  /// Every refresh: the sampler's source against the model.
  void afterRefresh() {
    ++world_.tally().refreshes;
    ModelRefresh(world_.processes(), world_.faults(), procinfo::RefreshSelection::everything(), mode_.linuxLike,
                 mode_.linuxLike)
        .apply(model_, world_.listed(), ModelRefresh::Watched{world_.rootPid(), world_.externals()});
    const std::string problem =
        checkSource(sampler_.source().processes(), model_, world_.listed(), world_.processes(), world_.faults());
    ASSERT_EQ(problem, "") << "seed " << profile_.seed << " step " << step_ << " (" << profile_.label << ")";
  }

  void sample() {
    std::optional<std::string> requestId;
    if (world_.chance(0.2)) {
      // Appended, not "r" + std::to_string(...): g++ 12 at -O3 inlines that
      // operator's insert here and warns wrongly of overlapping copies
      // (-Wrestrict).
      requestId.emplace("r");
      requestId->append(std::to_string(step_));
    }
    const std::uint64_t before = sampler_.sequence();
    const protocol::Snapshot snapshot = sampler_.takeSnapshot(world_.rootPid(), world_.externals(), requestId);
    afterRefresh();
    if (::testing::Test::HasFatalFailure()) return;
    Tally& tally = world_.tally();
    ++tally.snapshots;
    std::string problem = checkSnapshot(snapshot, before, sampler_.source().processes(), world_.listed(),
                                        world_.rootPid(), world_.externals(), requestId);
    ASSERT_EQ(problem, "") << "seed " << profile_.seed << " step " << step_ << " (" << profile_.label << ")";
    tally.maxSelected = std::max(tally.maxSelected, snapshot.processes.size());

    history_.append(snapshot);
    problem = checkHistory(history_, snapshot);
    ASSERT_EQ(problem, "") << "seed " << profile_.seed << " step " << step_ << " (" << profile_.label << ")";
    tally.maxHistoryEntries = std::max(tally.maxHistoryEntries, history_.entryCount());
    tally.maxHistory = std::max(tally.maxHistory, history_.size());
    tally.maxHistoryBytes = std::max(tally.maxHistoryBytes, history_.estimatedBytes());
  }

  /// A process table from a fresh source on the same platform, against a
  /// model that starts empty and reads only the basic values.
  void checkProcessTable() {
    ++world_.tally().tables;
    // The table makes its own refresh: the listing failure (one-shot) and the
    // ghost pids apply to whichever refresh comes first, so script afresh.
    world_.script();
    Model fresh;
    ModelRefresh(world_.processes(), world_.faults(), procinfo::RefreshSelection::nothing(), mode_.linuxLike,
                 mode_.linuxLike)
        .apply(fresh, world_.listed(), std::nullopt);
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
    ++world_.tally().historyReads;
    const std::uint64_t windowMs = world_.chance(0.5) ? READ_WINDOW_MAX_MS * 2 : world_.below(600'000);
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
  Mode mode_;
  procinfo::FakeClock clock_;
  FakePlatform platform_;
  ChurnWorld world_;
  Sampler sampler_;
  HistoryBuffer history_;
  Model model_;
  int step_ = 0;
};

class ChurnFaultTest : public ::testing::TestWithParam<Profile> {};

TEST_P(ChurnFaultTest, RecordsSelectionCountsAndHistoryHoldUnderChurnAndFaults) {
  ChurnRun run(GetParam(), Mode{false});
  run.run();
}

// The same seeds with the Linux platform's ways: task information read with
// the basic values for every process, the state following the latest refresh.
TEST_P(ChurnFaultTest, RecordsSelectionCountsAndHistoryHoldTheLinuxWay) {
  ChurnRun run(GetParam(), Mode{true});
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
