#include "procinfo/cpu_accounting.h"

#include <gtest/gtest.h>

#include "procinfo/fake/fake_platform.h"
#include "procinfo/process_info_source.h"

namespace sidecar::procinfo {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr RefreshSelection ALL = RefreshSelection::everything();

TEST(CpuAccountingTest, IntervalIsMeasuredFromTheProcessorTicks) {
  FakeClock clock;
  FakePlatform platform(clock);
  CpuAccounting cpu(platform);
  ASSERT_TRUE(cpu.hasProcessorCounters());
  platform.advance(seconds(2));  // 200 ticks on each of four processors
  EXPECT_DOUBLE_EQ(cpu.measureInterval(), 2e9);
}

TEST(CpuAccountingTest, IntervalHasA200MillisecondFloorAndIsReusedWithin200Milliseconds) {
  FakeClock clock;
  FakePlatform platform(clock);
  CpuAccounting cpu(platform);
  platform.advance(milliseconds(50));  // 5 ticks per processor: below the floor
  EXPECT_DOUBLE_EQ(cpu.measureInterval(), 2e8);
  EXPECT_EQ(platform.calls().processorTicks, 2U);

  platform.advance(seconds(1));
  EXPECT_DOUBLE_EQ(cpu.measureInterval(), 1e9);
  platform.advance(milliseconds(100));
  EXPECT_DOUBLE_EQ(cpu.measureInterval(), 1e9) << "100 ms after the last measurement: reused";
  EXPECT_EQ(platform.calls().processorTicks, 3U) << "no read within 200 ms";

  clock.setMonotonic(clock.monotonicNow() - seconds(10));
  EXPECT_DOUBLE_EQ(cpu.measureInterval(), 1e9) << "a clock that went back keeps the interval";
}

TEST(CpuAccountingTest, FailedReadGivesAZeroIntervalForThatRefreshOnly) {
  FakeClock clock;
  FakePlatform platform(clock);
  CpuAccounting cpu(platform);
  platform.advance(seconds(1));
  EXPECT_DOUBLE_EQ(cpu.measureInterval(), 1e9);
  platform.advance(seconds(1));
  platform.failProcessorTicks();
  EXPECT_DOUBLE_EQ(cpu.measureInterval(), 0.0);
  // The stored snapshot is still the one of the first measurement.
  platform.advance(seconds(1));
  EXPECT_DOUBLE_EQ(cpu.measureInterval(), 2e9);
}

TEST(CpuAccountingTest, TickCountersAndTheirSumWrapAt32Bits) {
  FakeClock clock;
  FakePlatform platform(clock);
  platform.setProcessorTicks({{0xFFFFFF00U, 0, 0, 0, 0}, {0, 0, 500, 0, 1}});
  CpuAccounting cpu(platform);
  clock.advance(seconds(1));
  // Processor 0's user counter went from 0xFFFFFF00 to 0x100: it wrapped
  // and advanced by 0x200 (a wrap is not an idle interval). Its idle
  // advanced by 0xFFFFFFF0 and processor 1's idle by 0x10 + 100: the 32-bit
  // sum wraps to 0x200 + 100 = 612.
  platform.setProcessorTicks({{0x100U, 0, 0xFFFFFFF0U, 0, 0}, {0, 0, 500 + 0x10 + 100, 0, 1}});
  // 612 ticks over two processors at 10 ms a tick: 3.06 s.
  EXPECT_DOUBLE_EQ(cpu.measureInterval(), 306.0 * 1e7);
  // Fewer processors than before: only those listed both times count.
  clock.advance(seconds(1));
  platform.setProcessorTicks({{0x100U + 300, 0, 0xFFFFFFF0U, 0, 0}});
  EXPECT_DOUBLE_EQ(cpu.measureInterval(), 300.0 * 1e7);
}

TEST(CpuAccountingTest, ProcessorsArePairedByNumberAsTheyGoOfflineAndComeBack) {
  // Processor N idles from 10000 * N ticks on, 100 ticks a second while
  // online, so pairing one processor with another's reading is far off.
  const auto online = [](std::initializer_list<std::uint32_t> numbers, std::uint32_t second) {
    std::vector<ProcessorTicks> ticks;
    for (const std::uint32_t number : numbers) {
      ProcessorTicks processor;
      processor.idle = 10'000 * number + 100 * second;
      processor.number = number;
      ticks.push_back(processor);
    }
    return ticks;
  };
  struct Row {
    const char* what;
    std::initializer_list<std::uint32_t> numbers;
    double interval;
  };
  const Row rows[] = {
      {"processor 1 goes offline", {0, 2, 3}, 1e9},
      {"still offline", {0, 2, 3}, 1e9},
      {"processor 1 is back, with no earlier reading to pair", {0, 1, 2, 3}, 1e9},
      {"the first goes offline", {1, 2, 3}, 1e9},
      {"the first is back and a new one appears", {0, 1, 2, 3, 4}, 1e9},
      {"none of the earlier processors is listed", {7}, 0.0},
      {"the next reading pairs again", {7}, 1e9},
  };
  FakeClock clock;
  FakePlatform platform(clock);
  platform.setProcessorTicks(online({0, 1, 2, 3}, 0));
  CpuAccounting cpu(platform);
  std::uint32_t second = 0;
  for (const Row& row : rows) {
    clock.advance(seconds(1));
    platform.setProcessorTicks(online(row.numbers, ++second));
    EXPECT_DOUBLE_EQ(cpu.measureInterval(), row.interval) << row.what;
  }
}

TEST(CpuAccountingTest, UpdateAndBaselineFollowTheRules) {
  FakeClock clock;
  FakePlatform platform(clock);
  CpuAccounting cpu(platform);
  platform.advance(seconds(1));
  cpu.measureInterval();

  ProcessInfo info;
  cpu.baselineCpu(info, TaskInfo{1'500'000'000, 500'000'000, 0, 0});
  EXPECT_EQ(info.accumulatedCpuTime, 2000U);
  EXPECT_EQ(info.cpuUsage, 0.0F);

  struct Row {
    std::uint64_t user, system;
    double usage;
    std::uint64_t accumulated;
  };
  const Row rows[] = {
      {2'000'000'000, 1'000'000'000, 100.0F, 3000},  // one processor for the whole interval
      {2'000'000'000, 1'000'000'000, 0.0F, 3000},     // no CPU used
      {1'000'000'000, 0, 0.0F, 1000},                 // went back: 0
      {0, 0, 0.0F, 0},                                // unreadable: zeros
      {5'000'000'000, 0, 0.0F, 5000},                 // after zeros the baseline is 0: 0
      // The sum saturates.
      {UINT64_MAX, 10, (18446744073709551615.0 - 5e9) / 1e9 * 100,
       static_cast<std::uint64_t>(18446744073709551615.0 / 1e6)},
  };
  int line = 0;
  for (const Row& row : rows) {
    cpu.updateCpu(info, TaskInfo{row.user, row.system, 0, 0});
    EXPECT_NEAR(info.cpuUsage, row.usage, 1e-3 + row.usage * 1e-6) << "row " << line;
    EXPECT_EQ(info.accumulatedCpuTime, row.accumulated) << "row " << line;
    EXPECT_EQ(info.previousUserTime, row.user) << "row " << line;
    ++line;
  }
}

TEST(CpuAccountingTest, BusyProcessReadsAbout100WhateverTheTimeBase) {
  for (const TimeBase base : {TimeBase{1, 1}, TimeBase{125, 3}, TimeBase{1'000'000'000, 100}}) {
    SCOPED_TRACE(std::to_string(base.numer) + "/" + std::to_string(base.denom));
    FakeClock clock;
    FakePlatform platform(clock);
    platform.setTimeBase(base);
    platform.addProcess(1, 0, 100, "busy");
    platform.addProcess(2, 0, 100, "four");
    platform.addCpuTime(1, seconds(1));
    platform.addCpuTime(2, seconds(1));
    auto source = ProcessInfoSource::new_with_specifics(platform);
    source.refresh_processes_specifics(ALL);
    platform.advance(seconds(1));
    platform.addCpuTime(1, milliseconds(700), milliseconds(300));
    platform.addCpuTime(2, seconds(4));
    source.refresh_processes_specifics(ALL);
    EXPECT_NEAR(source.processes().at(1).cpuUsage, 100.0F, 0.1F);
    EXPECT_NEAR(source.processes().at(2).cpuUsage, 400.0F, 0.1F);
    EXPECT_NEAR(static_cast<double>(source.processes().at(1).accumulatedCpuTime), 2000.0, 1.0);
  }
}

TEST(CpuAccountingTest, TimeBaseFailureCountsAsOne) {
  FakeClock clock;
  FakePlatform platform(clock);
  platform.setTimeBase(std::nullopt);
  CpuAccounting cpu(platform);
  EXPECT_DOUBLE_EQ(cpu.timeBase(), 1.0);
}

TEST(CpuAccountingTest, WithoutProcessorCountersTheFallbackUsesAbsoluteTime) {
  FakeClock clock;
  FakePlatform platform(clock);
  platform.setProcessorCountersAvailable(false);
  platform.addProcess(1, 0, 100, "busy");
  platform.addCpuTime(1, seconds(1));
  platform.process(1).thread = ThreadInfo{ThreadState::RUN_STATE_RUNNING, 0, 0};
  platform.setAbsoluteTime(100'000'000'000);  // the machine has been up a while
  auto source = ProcessInfoSource::new_with_specifics(platform);
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(source.processes().at(1).accumulatedCpuTime, 1000U);
  const std::size_t ticksRead = platform.calls().processorTicks;

  // First update: the baseline holds the task total and the absolute time
  // it was read at.
  platform.advance(seconds(1));
  platform.addCpuTime(1, milliseconds(500));
  source.refresh_processes_specifics(ALL);
  const ProcessInfo& info = source.processes().at(1);
  EXPECT_EQ(info.previousSystemTime, platform.absoluteTime());
  EXPECT_NEAR(info.cpuUsage, 50.0F, 0.01F);
  EXPECT_EQ(info.accumulatedCpuTime, 1500U);

  // The task totals already count every thread: the first thread's times
  // add nothing (one busy thread reads 100, not 200).
  platform.advance(seconds(1));
  platform.addCpuTime(1, seconds(1));
  platform.process(1).thread = ThreadInfo{ThreadState::RUN_STATE_RUNNING, 500'000'000, 500'000'000};
  source.refresh_processes_specifics(ALL);
  EXPECT_NEAR(source.processes().at(1).cpuUsage, 100.0F, 0.01F);
  EXPECT_EQ(source.processes().at(1).accumulatedCpuTime, 2500U);

  // Same stamp: 0.
  source.refresh_processes_specifics(ALL);
  EXPECT_EQ(source.processes().at(1).cpuUsage, 0.0F);
  EXPECT_EQ(platform.calls().processorTicks, ticksRead) << "the counters are never read again";
}

}  // namespace
}  // namespace sidecar::procinfo
