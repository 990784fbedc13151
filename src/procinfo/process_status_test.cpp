#include "procinfo/process_status.h"

#include <gtest/gtest.h>

#include "procinfo/process_info.h"

namespace sidecar::procinfo {
namespace {

using Kind = ProcessState::Kind;

TEST(ProcessStatusTest, StatusCodeMapping) {
  const std::pair<std::uint32_t, const char*> rows[] = {
      {0, "Unknown(0)"}, {1, "Idle"}, {2, "Run"}, {3, "Sleep"}, {4, "Stop"},
      {5, "Zombie"},     {6, "Unknown(6)"}, {7, "Unknown(7)"}, {4294967295U, "Unknown(4294967295)"},
  };
  for (const auto& [code, text] : rows) EXPECT_EQ(statusText(processStateFromStatusCode(code)), text) << code;
}

TEST(ProcessStatusTest, StateLetterMapping) {
  const std::pair<char, const char*> rows[] = {
      {'R', "Run"},    {'S', "Sleep"}, {'D', "UninterruptibleDiskSleep"}, {'T', "Stop"},
      {'t', "Tracing"}, {'Z', "Zombie"}, {'X', "Dead"}, {'x', "Dead"},   {'K', "Wakekill"},
      {'W', "Waking"}, {'P', "Parked"}, {'I', "Idle"},  {'Q', "Unknown(81)"}, {'\xff', "Unknown(255)"},
  };
  for (const auto& [letter, text] : rows) EXPECT_EQ(statusText(processStateFromStateLetter(letter)), text) << letter;
}

TEST(ProcessStatusTest, ReportedStatusCombinesProcessAndThreadStates) {
  struct Row {
    ProcessState process;
    std::optional<std::int32_t> thread;
    const char* reported;
  };
  const Row rows[] = {
      {ProcessState(Kind::Run), std::nullopt, "Run"},
      {ProcessState(Kind::Run), 1, "Run"},
      {ProcessState(Kind::Run), 2, "Stop"},
      {ProcessState(Kind::Run), 3, "Sleep"},
      {ProcessState(Kind::Run), 4, "Dead"},
      {ProcessState(Kind::Run), 5, "Parked"},
      {ProcessState(Kind::Run), 0, "Unknown(0)"},
      {ProcessState(Kind::Run), 6, "Unknown(6)"},
      {ProcessState(Kind::Run), -1, "Unknown(4294967295)"},
      {ProcessState(Kind::Run), INT32_MIN, "Unknown(2147483648)"},
      {ProcessState(Kind::Stop), 1, "Stop"},
      {ProcessState(Kind::Sleep), 1, "Sleep"},
      {ProcessState(Kind::Zombie), 3, "Zombie"},
      {ProcessState::unknown(0), 1, "Unknown(0)"},
  };
  int line = 0;
  for (const Row& row : rows) {
    ProcessInfo info;
    info.processState = row.process;
    if (row.thread) info.threadState = ThreadState{*row.thread};
    EXPECT_EQ(statusText(reportedStatus(info)), row.reported) << "row " << line++;
  }
}

TEST(ProcessStatusTest, EveryTextFitsIn24Bytes) {
  for (int kind = 0; kind <= static_cast<int>(Kind::Unknown); ++kind) {
    const ProcessState state =
        static_cast<Kind>(kind) == Kind::Unknown ? ProcessState::unknown(UINT32_MAX) : ProcessState(static_cast<Kind>(kind));
    EXPECT_LE(statusText(state).size(), 24U) << statusText(state);
    EXPECT_NE(statusText(state), "");
  }
  EXPECT_EQ(statusText(ProcessState(Kind::LockBlocked)), "LockBlocked");
  EXPECT_EQ(statusText(ProcessState(Kind::Suspended)), "Suspended");
}

}  // namespace
}  // namespace sidecar::procinfo
