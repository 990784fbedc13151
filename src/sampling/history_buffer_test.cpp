#include "sampling/history_buffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sidecar::sampling {
namespace {

using protocol::ProcessSample;
using protocol::Snapshot;

constexpr std::uint64_t T0 = 1'767'225'600'000;  // 2026-01-01, in ms
constexpr std::uint64_t SECOND = 1000;
constexpr std::uint64_t MINUTE = 60 * SECOND;

Snapshot makeSnapshot(std::uint64_t sampledAtUnixMs, std::size_t processCount = 0,
                      std::size_t externalCount = 0) {
  Snapshot snapshot;
  snapshot.sampledAtUnixMs = sampledAtUnixMs;
  for (std::size_t i = 0; i < processCount; ++i) {
    ProcessSample sample;
    sample.pid = static_cast<std::uint32_t>(100 + i);
    sample.name = "worker";
    sample.command = "worker --id 1";
    sample.status = "Sleep";
    snapshot.processes.push_back(sample);
  }
  for (std::size_t i = 0; i < externalCount; ++i) {
    snapshot.externalProcesses.push_back({static_cast<std::uint32_t>(10 + i), 5000});
  }
  return snapshot;
}

// The counters must always equal what a full walk of the buffer gives, and
// the kept snapshots must be in order.
void expectConsistent(const HistoryBuffer& history, const std::string& where) {
  std::uint64_t entries = 0;
  std::uint64_t bytes = 0;
  std::uint64_t previous = 0;
  for (const auto& snapshot : history.snapshots()) {
    entries += snapshotEntries(snapshot);
    bytes += estimatedSnapshotBytes(snapshot);
    EXPECT_GE(snapshot.sampledAtUnixMs, previous) << where;
    previous = snapshot.sampledAtUnixMs;
    EXPECT_FALSE(snapshot.requestId.has_value()) << where;
  }
  EXPECT_EQ(history.entryCount(), entries) << where;
  EXPECT_EQ(history.estimatedBytes(), bytes) << where;
  EXPECT_LE(history.size(), HISTORY_MAX_SNAPSHOTS) << where;
  EXPECT_LE(history.entryCount(), HISTORY_MAX_ENTRIES) << where;
  EXPECT_LE(history.estimatedBytes(), HISTORY_MAX_BYTES) << where;
}

TEST(HistoryBufferTest, EstimatesSnapshotSizeFromItsTexts) {
  Snapshot snapshot = makeSnapshot(T0, 2, 3);
  snapshot.processes[1].command = std::string(1000, 'x');
  // 144 + 3 * 24 + (144 + 6 + 13 + 5) + (144 + 6 + 1000 + 5)
  EXPECT_EQ(estimatedSnapshotBytes(snapshot), 144U + 72U + 168U + 1155U);
  EXPECT_EQ(snapshotEntries(snapshot), 5U);
  EXPECT_EQ(estimatedSnapshotBytes(Snapshot{}), 144U);
}

TEST(HistoryBufferTest, KeepsAtMost3600SnapshotsSampledEverySecond) {
  HistoryBuffer history;
  for (std::uint64_t i = 0; i < 4000; ++i) {
    history.append(makeSnapshot(T0 + i * SECOND));
  }
  expectConsistent(history, "after 4000");
  ASSERT_EQ(history.size(), 3600U);
  EXPECT_EQ(history.snapshots().front().sampledAtUnixMs, T0 + 400 * SECOND);
  EXPECT_EQ(history.snapshots().back().sampledAtUnixMs, T0 + 3999 * SECOND);
}

TEST(HistoryBufferTest, EvictsSnapshotsMoreThanOneHourOlderThanTheNewest) {
  HistoryBuffer history;
  history.append(makeSnapshot(T0));
  history.append(makeSnapshot(T0 + HISTORY_MAX_AGE_MS));  // exactly one hour: kept
  EXPECT_EQ(history.size(), 2U);
  history.append(makeSnapshot(T0 + HISTORY_MAX_AGE_MS + 1));
  EXPECT_EQ(history.size(), 2U);
  EXPECT_EQ(history.snapshots().front().sampledAtUnixMs, T0 + HISTORY_MAX_AGE_MS);

  // Sampling every 10 s for three hours: the span never exceeds one hour.
  for (std::uint64_t t = 0; t < 3 * 3600 * SECOND; t += 10 * SECOND) {
    history.append(makeSnapshot(T0 + 2 * HISTORY_MAX_AGE_MS + t));
    ASSERT_LE(history.snapshots().back().sampledAtUnixMs - history.snapshots().front().sampledAtUnixMs,
              HISTORY_MAX_AGE_MS);
  }
  EXPECT_EQ(history.size(), 361U);
  expectConsistent(history, "after three hours");

  // Near the epoch the age limit does not underflow.
  HistoryBuffer early;
  early.append(makeSnapshot(0));
  early.append(makeSnapshot(5));
  EXPECT_EQ(early.size(), 2U);
}

TEST(HistoryBufferTest, FiveHundredProcessesPerSnapshotKeepsTheLastForty) {
  HistoryBuffer history;
  for (std::uint64_t i = 0; i < 100; ++i) {
    history.append(makeSnapshot(T0 + i * SECOND, 500));
    expectConsistent(history, "append " + std::to_string(i));
  }
  EXPECT_EQ(history.size(), 40U);
  EXPECT_EQ(history.entryCount(), 20000U);
  EXPECT_EQ(history.snapshots().front().sampledAtUnixMs, T0 + 60 * SECOND);

  // External processes count as entries as well.
  history.append(makeSnapshot(T0 + 100 * SECOND, 500, 1));
  EXPECT_EQ(history.size(), 39U);
  expectConsistent(history, "with an external");
}

// A snapshot too large to be kept on its own is refused, and the history
// before it stays whole: it is not evicted to make room for something that
// will never fit.
TEST(HistoryBufferTest, OversizedSnapshotIsRefusedAndTheHistoryBeforeItStays) {
  Snapshot hugeText = makeSnapshot(T0 + 5 * SECOND, 2);
  hugeText.processes[0].command.assign(32U << 20U, 'a');
  hugeText.processes[1].command.assign(32U << 20U, 'b');
  struct Case {
    const char* name;
    Snapshot oversized;
  };
  const Case cases[] = {
      {"entries", makeSnapshot(T0 + 5 * SECOND, HISTORY_MAX_ENTRIES + 1)},
      {"entries with externals", makeSnapshot(T0 + 5 * SECOND, HISTORY_MAX_ENTRIES, 1)},
      {"bytes", hugeText},
  };
  for (const auto& row : cases) {
    HistoryBuffer history;
    for (std::uint64_t i = 0; i < 5; ++i) {
      history.append(makeSnapshot(T0 + i * SECOND, 10));
    }
    const auto before = history.snapshots();
    const std::uint64_t entries = history.entryCount();
    const std::uint64_t bytes = history.estimatedBytes();

    history.append(row.oversized);
    EXPECT_EQ(history.snapshots(), before) << row.name;
    EXPECT_EQ(history.entryCount(), entries) << row.name;
    EXPECT_EQ(history.estimatedBytes(), bytes) << row.name;

    // The next small snapshot joins the five before the oversized one.
    history.append(makeSnapshot(T0 + 6 * SECOND, 10));
    EXPECT_EQ(history.size(), 6U) << row.name;
    EXPECT_EQ(history.snapshots().front().sampledAtUnixMs, T0) << row.name;
    expectConsistent(history, row.name);
  }

  // Exactly at the entry limit the snapshot is kept, and it evicts the rest.
  HistoryBuffer atLimit;
  atLimit.append(makeSnapshot(T0, 10));
  atLimit.append(makeSnapshot(T0 + SECOND, HISTORY_MAX_ENTRIES));
  ASSERT_EQ(atLimit.size(), 1U);
  EXPECT_EQ(atLimit.entryCount(), HISTORY_MAX_ENTRIES);
  expectConsistent(atLimit, "at the limit");
}

// Seventeen samples of a small tree survive a run of samples that are each
// larger than the entry limit.
TEST(HistoryBufferTest, SmallSamplesSurviveARunOfOversizedOnes) {
  HistoryBuffer history;
  for (std::uint64_t i = 0; i < 17; ++i) {
    history.append(makeSnapshot(T0 + i * SECOND, 21));
  }
  for (std::uint64_t i = 17; i < 20; ++i) {
    history.append(makeSnapshot(T0 + i * SECOND, 30'001));
  }
  EXPECT_EQ(history.size(), 17U);
  EXPECT_EQ(history.entryCount(), 17U * 21U);
  expectConsistent(history, "after the oversized run");
}

TEST(HistoryBufferTest, WallClockSetBackDropsNewerSnapshots) {
  HistoryBuffer history;
  for (std::uint64_t m = 0; m <= 20; ++m) {
    history.append(makeSnapshot(T0 + m * MINUTE, 3));
  }
  // The clock goes back ten minutes from the last sample (T0+20min).
  history.append(makeSnapshot(T0 + 10 * MINUTE, 2));
  expectConsistent(history, "after set-back");
  ASSERT_EQ(history.size(), 12U);  // minutes 0..10 and the new one
  EXPECT_EQ(history.snapshots()[10].sampledAtUnixMs, T0 + 10 * MINUTE);
  EXPECT_EQ(history.snapshots()[10].processes.size(), 3U);
  EXPECT_EQ(history.snapshots().back().processes.size(), 2U);
  EXPECT_EQ(history.entryCount(), 11U * 3U + 2U);

  // Set back below everything: only the new snapshot stays.
  history.append(makeSnapshot(T0 - MINUTE, 1));
  ASSERT_EQ(history.size(), 1U);
  EXPECT_EQ(history.snapshots().front().sampledAtUnixMs, T0 - MINUTE);
  expectConsistent(history, "set back below everything");
}

TEST(HistoryBufferTest, KeepsCopiesWithoutRequestIdAndSelectsClosedRanges) {
  HistoryBuffer history;
  Snapshot answered = makeSnapshot(T0 + 2 * SECOND, 1);
  answered.requestId = "now-1";
  history.append(makeSnapshot(T0 + 1 * SECOND));
  history.append(answered);
  history.append(makeSnapshot(T0 + 3 * SECOND));
  EXPECT_EQ(answered.requestId, "now-1");  // the caller's copy is untouched

  const auto middle = history.selectRange(T0 + 2 * SECOND, T0 + 2 * SECOND);
  ASSERT_EQ(middle.size(), 1U);
  EXPECT_FALSE(middle[0].requestId.has_value());
  Snapshot expected = answered;
  expected.requestId.reset();
  EXPECT_EQ(middle[0], expected);

  EXPECT_EQ(history.selectRange(T0 + 1 * SECOND, T0 + 3 * SECOND).size(), 3U);
  EXPECT_EQ(history.selectRange(T0 + 1 * SECOND + 1, T0 + 3 * SECOND - 1).size(), 1U);
  EXPECT_TRUE(history.selectRange(T0 + 4 * SECOND, T0 + 9 * SECOND).empty());
  EXPECT_TRUE(history.selectRange(T0 + 3 * SECOND, T0).empty());
}

}  // namespace
}  // namespace sidecar::sampling
