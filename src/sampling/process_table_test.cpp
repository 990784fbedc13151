#include "sampling/process_table.h"

#include <gtest/gtest.h>

#include <string>

#include "procinfo/fake/fake_clock.h"
#include "procinfo/fake/fake_platform.h"
#include "protocol/byte_sink.h"
#include "protocol/message_writer.h"
#include "sampling/sampler.h"

namespace sidecar::sampling {
namespace {

class ProcessTableTest : public ::testing::Test {
 protected:
  ProcessTableTest() : platform_(clock_) {}

  std::string answer(std::string_view requestId) {
    protocol::MemorySink sink;
    {
      protocol::MessageWriter writer(sink);
      EXPECT_TRUE(answerProcessTable(requestId, platform_, writer).isOk());
    }
    return sink.bytes();
  }

  procinfo::FakeClock clock_;
  procinfo::FakePlatform platform_;
};

TEST_F(ProcessTableTest, ListsEveryProcessButPidZeroSortedByPid) {
  platform_.addProcess(0, 0, 100, "kernel_task");
  platform_.addProcess(4242, 1, 300, "sidecar", {"sidecar"});
  platform_.addProcess(1, 0, 100, "launchd");
  platform_.addProcess(77, 1, 200, "bad\xC3name");
  platform_.addProcess(4096, 77, 250, std::string(1500, 'z'));
  EXPECT_EQ(answer("t1"), R"({"version":3,"type":"processTable","requestId":"t1","processes":[)"
                          R"({"pid":1,"ppid":0,"name":"launchd"},)"
                          R"({"pid":77,"ppid":1,"name":"bad)" "\xEF\xBF\xBD" R"(name"},)"
                          R"({"pid":4096,"ppid":77,"name":")" +
                              std::string(1024, 'z') +
                              R"("},)"
                              R"({"pid":4242,"ppid":1,"name":"sidecar"}]})"
                              "\n");
}

TEST_F(ProcessTableTest, FailedListingGivesAnEmptyTable) {
  platform_.addProcess(1, 0, 100, "launchd");
  platform_.failListing();
  EXPECT_EQ(answer("t2"), R"({"version":3,"type":"processTable","requestId":"t2","processes":[]})"
                          "\n");
  EXPECT_EQ(buildProcessTable(platform_).size(), 1U);  // the next listing works again
}

TEST_F(ProcessTableTest, LeavesTheSamplerUntouched) {
  platform_.addProcess(1, 0, 100, "launchd");
  platform_.addProcess(10, 1, 100, "root");
  Sampler sampler(platform_, clock_);
  sampler.prime(10, {});
  const auto primedAt = sampler.lastRefreshAt();
  clock_.advance(std::chrono::milliseconds(300));
  platform_.resetCalls();
  EXPECT_EQ(buildProcessTable(platform_).size(), 2U);
  // The table reads only basic values: no argument list, CPU, memory or disk.
  EXPECT_EQ(platform_.calls().taskInfo, 0U);
  EXPECT_EQ(platform_.calls().diskCounters, 0U);
  EXPECT_EQ(sampler.lastRefreshAt(), primedAt);
  const protocol::Snapshot snapshot = sampler.takeSnapshot(10, {}, std::nullopt);
  EXPECT_TRUE(clock_.sleeps().empty());  // the table did not count as a refresh
  EXPECT_EQ(snapshot.sequence, 1U);
}

}  // namespace
}  // namespace sidecar::sampling
