// The macOS backend's processor counters, run against the double of the
// Darwin kernel: the counters read in order, and each fresh array released
// once with its size, the last one and the host port at destruction.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "procinfo/macos/darwin_double/darwin_double.h"
#include "procinfo/macos/darwin_double/macos_platform_fixture.h"
#include "procinfo/macos/macos_platform.h"

namespace sidecar::procinfo {
namespace {

namespace dd = darwin_double;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Ne;

// --- Processor counters, their arrays and the host port ---------------------------------

TEST_F(MacosPlatformTest, ProcessorCountersAreReadInTheirOrderAndNumberedByIndex) {
  kernel.processors = {{1, 2, 3, 4}, {10, 20, 30, 40}};
  MacosPlatform platform(clock);
  std::vector<ProcessorTicks> ticks = {ProcessorTicks{}};
  ASSERT_TRUE(platform.processorTicks(ticks));
  ASSERT_EQ(ticks.size(), 2U);
  EXPECT_EQ(ticks[0], (ProcessorTicks{1, 2, 3, 4, 0}));
  EXPECT_EQ(ticks[1], (ProcessorTicks{10, 20, 30, 40, 1}));
}

TEST_F(MacosPlatformTest, EachProcessorArrayIsReleasedOnceWithItsSize) {
  {
    MacosPlatform platform(clock);
    EXPECT_EQ(kernel.hostPortsHandedOut, 1U);
    std::vector<ProcessorTicks> ticks;
    ASSERT_TRUE(platform.processorTicks(ticks));
    EXPECT_EQ(kernel.liveArrays.size(), 1U) << "held until the next reading";
    ASSERT_TRUE(platform.processorTicks(ticks));
    ASSERT_TRUE(platform.processorTicks(ticks));
    EXPECT_EQ(kernel.liveArrays.size(), 1U);
    EXPECT_EQ(kernel.arraysReleased, 2U);
  }
  // Destruction releases the last array and the host port.
  EXPECT_THAT(kernel.liveArrays, IsEmpty());
  EXPECT_EQ(kernel.arraysHandedOut, 3U);
  EXPECT_EQ(kernel.arraysReleased, 3U);
  EXPECT_EQ(kernel.hostPortsReleased, 1U);
}

TEST_F(MacosPlatformTest, FailedProcessorReadKeepsThePreviousArrayUntilDestruction) {
  {
    MacosPlatform platform(clock);
    std::vector<ProcessorTicks> ticks;
    ASSERT_TRUE(platform.processorTicks(ticks));
    kernel.processorInfoResult = KERN_FAILURE;
    EXPECT_FALSE(platform.processorTicks(ticks));
    EXPECT_THAT(ticks, IsEmpty());
    EXPECT_EQ(kernel.liveArrays.size(), 1U);
  }
  EXPECT_THAT(kernel.liveArrays, IsEmpty());
  EXPECT_EQ(kernel.arraysReleased, 1U);
  EXPECT_EQ(kernel.hostPortsReleased, 1U);
}

TEST_F(MacosPlatformTest, ReadingWithoutProcessorsFailsAndReleasesItsArray) {
  kernel.processors.clear();
  {
    MacosPlatform platform(clock);
    std::vector<ProcessorTicks> ticks;
    EXPECT_FALSE(platform.processorTicks(ticks));
    EXPECT_THAT(kernel.liveArrays, IsEmpty());
    EXPECT_EQ(kernel.arraysReleased, 1U);
  }
  EXPECT_EQ(kernel.arraysReleased, 1U);
}

TEST_F(MacosPlatformTest, PlatformNeverReadingCountersReleasesOnlyTheHostPort) {
  { MacosPlatform platform(clock); }
  EXPECT_EQ(kernel.arraysHandedOut, 0U);
  EXPECT_EQ(kernel.hostPortsHandedOut, 1U);
  EXPECT_EQ(kernel.hostPortsReleased, 1U);
}
}  // namespace
}  // namespace sidecar::procinfo
