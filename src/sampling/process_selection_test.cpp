#include "sampling/process_selection.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace sidecar::sampling {
namespace {

using protocol::ExternalProcess;
using ::testing::UnorderedElementsAreArray;

// Start seconds used below, as milliseconds.
constexpr std::uint64_t T100 = 100'000;
constexpr std::uint64_t T200 = 200'000;
constexpr std::uint64_t T300 = 300'000;

struct SelectionCase {
  const char* label;
  std::vector<ProcessNode> nodes;
  std::uint32_t rootPid;
  std::vector<ExternalProcess> externals;  // as the parent sent them
  std::vector<std::uint32_t> expectedSelected;
  std::vector<ExternalProcess> expectedExternals;  // order not checked
};

std::vector<std::uint32_t> sorted(const std::unordered_set<std::uint32_t>& set) {
  std::vector<std::uint32_t> out(set.begin(), set.end());
  std::sort(out.begin(), out.end());
  return out;
}

// A background system: init (1) and a few unrelated processes.
std::vector<ProcessNode> withSystem(std::vector<ProcessNode> nodes) {
  nodes.insert(nodes.begin(), {{1, 0, T100}, {50, 1, T100}, {51, 50, T200}});
  return nodes;
}

TEST(ProcessSelectionTest, SelectsRootExternalsAndDescendants) {
  const std::vector<SelectionCase> cases = {
      {"root, child and descendants at any depth",
       withSystem({{10, 1, T200}, {11, 10, T200}, {12, 11, T300}, {13, 12, T300}, {14, 13, T300}}),
       10, {}, {10, 11, 12, 13, 14}, {}},
      {"siblings are not selected", withSystem({{10, 1, T200}, {11, 1, T200}, {12, 10, T200}}), 10, {},
       {10, 12}, {}},
      {"exited root, no externals", withSystem({{11, 10, T200}}), 10, {}, {}, {}},
      {"empty node list", {}, 10, {{50, std::nullopt}}, {}, {}},
      {"exited root, matching external", withSystem({{20, 1, T200}, {21, 20, T300}}), 10,
       {{20, T200}}, {20, 21}, {{20, T200}}},
      {"external without start time matches any start", withSystem({{20, 1, T300}}), 10,
       {{20, std::nullopt}}, {20}, {{20, T300}}},
      {"external with 999 ms past the start second", withSystem({{20, 1, T200}}), 10,
       {{20, T200 + 999}}, {20}, {{20, T200}}},
      {"external one second off: pid reused", withSystem({{20, 1, T300}, {21, 20, T300}}), 10,
       {{20, T200}}, {}, {}},
      {"reused external pid inside the root's tree is still reached from the root",
       withSystem({{10, 1, T200}, {20, 10, T300}, {21, 20, T300}}), 10, {{20, T100}},
       {10, 20, 21}, {}},
      {"external inside the root's tree is listed and selected once",
       withSystem({{10, 1, T200}, {20, 10, T200}, {21, 20, T300}}), 10, {{20, T200}},
       {10, 20, 21}, {{20, T200}}},
      {"root repeated as external with a wrong start", withSystem({{10, 1, T200}, {11, 10, T200}}),
       10, {{10, T300}}, {10, 11}, {}},
      {"root repeated as external with its start", withSystem({{10, 1, T200}}), 10, {{10, T200}},
       {10}, {{10, T200}}},
      {"external that does not exist", withSystem({{10, 1, T200}}), 10, {{99, T200}}, {10}, {}},
      {"child older than its parent is not followed",
       withSystem({{10, 1, T200}, {11, 10, T100}, {12, 11, T300}, {13, 10, T200}}), 10, {},
       {10, 13}, {}},
      {"two-process cycle: each selected once and the walk ends",
       withSystem({{11, 12, T200}, {12, 11, T200}, {13, 12, T300}}), 11, {}, {11, 12, 13}, {}},
      {"cycle through the root itself", {{10, 11, T200}, {11, 10, T200}}, 10, {}, {10, 11}, {}},
      {"two roots sharing descendants", withSystem({{10, 1, T200}, {11, 10, T200}, {12, 11, T200}}),
       10, {{11, T200}}, {10, 11, 12}, {{11, T200}}},
      {"rootPid 0 without a pid-0 process selects nothing", withSystem({}), 0, {}, {}, {}},
      {"rootPid 0 with a pid-0 process: parentless processes and descendants",
       {{0, 0, T100}, {1, 0, T100}, {2, 0, T100}, {3, 1, T200}, {4, 0, 0}}, 0, {},
       {0, 1, 2, 3}, {}},
  };
  for (const auto& c : cases) {
    const ExternalProcessMap map = makeExternalProcessMap(c.externals);
    const ProcessSelection selection = selectProcesses(c.nodes, c.rootPid, map);
    EXPECT_EQ(sorted(selection.selectedPids), c.expectedSelected) << c.label;
    EXPECT_THAT(selection.externalProcesses, UnorderedElementsAreArray(c.expectedExternals)) << c.label;
  }
}

TEST(ProcessSelectionTest, RepeatedExternalPidKeepsTheLaterEntry) {
  const std::vector<ProcessNode> nodes = withSystem({{20, 1, T300}});
  // First with a (wrong) start time, then without: matched with no check.
  const std::vector<ExternalProcess> list = {{20, T200}, {20, std::nullopt}};
  const ExternalProcessMap map = makeExternalProcessMap(list);
  ASSERT_EQ(map.size(), 1U);
  EXPECT_FALSE(map.at(20).has_value());
  const ProcessSelection selection = selectProcesses(nodes, 99, map);
  EXPECT_THAT(selection.externalProcesses, ::testing::ElementsAre(ExternalProcess{20, T300}));
  EXPECT_EQ(sorted(selection.selectedPids), std::vector<std::uint32_t>{20});

  // The other way round the later start time is checked and fails.
  const std::vector<ExternalProcess> reversed = {{20, std::nullopt}, {20, T200}};
  EXPECT_TRUE(selectProcesses(nodes, 99, makeExternalProcessMap(reversed)).selectedPids.empty());
}

TEST(ProcessSelectionTest, AnExternalWithAStartTimeStaysTheProcessFirstMatched) {
  // Pid 20 (with child 21) exits and a newcomer takes pid 20 within the same
  // second: same start second, another start instant.
  const std::vector<ProcessNode> first = withSystem({{20, 1, T300, 7}, {21, 20, T300, 8}});
  const std::vector<ProcessNode> newcomer = withSystem({{20, 1, T300, 9}, {21, 20, T300, 10}});
  const ExternalProcessMap named = makeExternalProcessMap(std::vector<ExternalProcess>{{20, T300 + 456}});
  const ExternalProcessMap unnamed = makeExternalProcessMap(std::vector<ExternalProcess>{{20, std::nullopt}});

  ExternalMatches matches;
  ProcessSelection selection = selectProcesses(first, 99, named, matches);
  EXPECT_THAT(selection.externalProcesses, ::testing::ElementsAre(ExternalProcess{20, T300}));
  EXPECT_EQ(sorted(selection.selectedPids), (std::vector<std::uint32_t>{20, 21}));
  EXPECT_EQ(selectProcesses(first, 99, named, matches).selectedPids.size(), 2U);  // still the same process

  selection = selectProcesses(newcomer, 99, named, matches);
  EXPECT_TRUE(selection.externalProcesses.empty());
  EXPECT_TRUE(selection.selectedPids.empty());
  // Without memory of the first match, or named without a start time, the
  // newcomer matches.
  EXPECT_EQ(selectProcesses(newcomer, 99, named).selectedPids.size(), 2U);
  ExternalMatches none;
  EXPECT_EQ(selectProcesses(newcomer, 99, unnamed, none).selectedPids.size(), 2U);
  EXPECT_TRUE(none.empty());

  // Once the entry leaves the list its first match is forgotten; named
  // again, it is matched afresh.
  selectProcesses(newcomer, 99, unnamed, matches);
  EXPECT_TRUE(matches.empty());
  EXPECT_EQ(selectProcesses(newcomer, 99, named, matches).selectedPids.size(), 2U);
  EXPECT_TRUE(selectProcesses(first, 99, named, matches).selectedPids.empty());
}

TEST(ProcessSelectionTest, DeepChainAndWideTreeAreWalkedWhole) {
  std::vector<ProcessNode> nodes;
  nodes.push_back({1, 0, T100});
  for (std::uint32_t pid = 2; pid <= 5000; ++pid) {
    nodes.push_back({pid, pid - 1, T100});  // a chain 5,000 deep
  }
  for (std::uint32_t pid = 10'000; pid < 12'000; ++pid) {
    nodes.push_back({pid, 2500, T200});  // 2,000 children of one node
  }
  const ProcessSelection selection = selectProcesses(nodes, 2, {});
  EXPECT_EQ(selection.selectedPids.size(), 4999U + 2000U);
  EXPECT_FALSE(selection.selectedPids.contains(1));
}

}  // namespace
}  // namespace sidecar::sampling
