// How the sidecar reads its input, seen from outside: bursts, line endings,
// long lines and input that is not UTF-8.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sidecar_child.h"

namespace sidecar::e2e {
namespace {

const std::string NOT_CONFIGURED_SAMPLING =
    R"({"version":3,"type":"error","code":"not-configured","message":"configure must be sent before sampling","recoverable":true})";

// A started child whose greeting has been read.
class CommandInput : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(child.startError(), "");
    ASSERT_TRUE(child.readLine()) << "no greeting";
  }

  // The rest of standard output, line by line; fails if it does not end.
  std::vector<std::string> remainingLines() {
    std::vector<std::string> lines;
    while (std::optional<std::string> line = child.readLine()) {
      lines.push_back(std::move(*line));
    }
    EXPECT_TRUE(child.outputEnded()) << "standard output did not end in time";
    EXPECT_EQ(child.pendingOutput(), "") << "unterminated last line";
    return lines;
  }

  SidecarChild child;
};

TEST_F(CommandInput, ABurstOfOneHundredCommandsIsAnsweredInOrder) {
  // The process table keeps the main loop busy while the rest of the burst
  // fills the channel and blocks the reader.
  std::string burst = R"({"version":3,"type":"processTable","requestId":"busy"})" "\n";
  std::vector<std::string> expected;
  for (int i = 0; i < 100; ++i) {
    if (i % 2 == 0) {
      burst += R"({"version":3,"type":"readHistory","requestId":"r)" + std::to_string(i) + R"(","windowMs":1000})" "\n";
      expected.push_back(R"({"version":3,"type":"error","code":"not-configured","message":"configure must be sent before reading history","recoverable":true})");
    } else {
      const std::string version = std::to_string(1000 + i);
      burst += R"({"version":)" + version + R"(,"type":"setStreaming","enabled":true})" "\n";
      expected.push_back(R"({"version":3,"type":"error","code":"protocol-mismatch","message":"unsupported protocol version )" +
                         version + R"(; expected 3","recoverable":false})");
    }
  }
  // Closed right after the burst: every queued command is still handled.
  ASSERT_TRUE(child.write(burst));
  child.closeInput();
  std::vector<std::string> lines = remainingLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front().rfind(R"({"version":3,"type":"processTable","requestId":"busy",)", 0), 0U);
  lines.erase(lines.begin());
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(child.waitForExit(), 0);
}

TEST_F(CommandInput, CarriageReturnLineEndingsAreAccepted) {
  const std::string sample = R"({"version":3,"type":"sampleNow","requestId":"x"})";
  // CR LF lines, a blank CR LF line, and a last line ended by a lone CR.
  ASSERT_TRUE(child.write(sample + "\r\n\r\n \t\r\n" + sample + "\r"));
  child.closeInput();
  EXPECT_EQ(remainingLines(), (std::vector<std::string>{NOT_CONFIGURED_SAMPLING, NOT_CONFIGURED_SAMPLING}));
  EXPECT_EQ(child.waitForExit(), 0);
}

TEST_F(CommandInput, InvalidUtf8IsReportedOnceAndEndsTheRun) {
  const std::string sample = R"({"version":3,"type":"sampleNow","requestId":"x"})";
  // Input stays open: the reader stops at the bad line by itself.
  ASSERT_TRUE(child.write(sample + "\n" + "{\"requestId\":\"\xC3\x28\"}\n" + sample + "\n"));
  EXPECT_EQ(remainingLines(),
            (std::vector<std::string>{
                NOT_CONFIGURED_SAMPLING,
                R"({"version":3,"type":"error","code":"invalid-command","message":"failed reading command stream: stream did not contain valid UTF-8","recoverable":true})"}));
  EXPECT_EQ(child.waitForExit(), 0);
  EXPECT_EQ(child.readErrorToEnd(), "");
}

TEST_F(CommandInput, ALineOfSeveralMegabytesIsOneCommand) {
  const std::string padding(4 << 20, 'p');
  ASSERT_TRUE(child.write(R"({"version":3,"type":"sampleNow","padding":")" + padding + R"(","requestId":"x"})" "\n"));
  ASSERT_TRUE(child.write(R"({"version":3,"type":"sampleNow","requestId":")" + padding + "\"\n"));  // unterminated
  child.closeInput();
  const std::vector<std::string> lines = remainingLines();
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_EQ(lines[0], NOT_CONFIGURED_SAMPLING);
  EXPECT_EQ(lines[1].rfind(R"({"version":3,"type":"error","code":"invalid-command","message":"invalid command: EOF while parsing an object at line 1 column )", 0), 0U)
      << lines[1].substr(0, 300);
  EXPECT_EQ(child.waitForExit(), 0);
}

}  // namespace
}  // namespace sidecar::e2e
