// Sampling through the real binary: periodic samples with streaming off and
// on, and sampleNow. The watched root is this test process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "sidecar_child.h"

namespace sidecar::e2e {
namespace {

// The unsigned integer after "key": at the top level of a message line (the
// top-level keys come before the nested lists).
std::optional<unsigned long long> topLevelNumber(const std::string& line, const std::string& key) {
  const std::size_t at = line.find("\"" + key + "\":");
  if (at == std::string::npos) {
    return std::nullopt;
  }
  return std::stoull(line.substr(at + key.size() + 3));
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
    ++n;
  }
  return n;
}

std::string configureSelf(int intervalMs) {
  return R"({"version":3,"type":"configure","rootPid":)" + std::to_string(getpid()) +
         R"(,"sampleIntervalMs":)" + std::to_string(intervalMs) + "}\n";
}

std::string selfSample() { return R"({"pid":)" + std::to_string(getpid()) + ","; }

class PeriodicSampling : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(child.startError(), "");
    ASSERT_TRUE(child.readLine()) << "no greeting";
  }
  void TearDown() override {
    child.closeInput();
    EXPECT_EQ(child.waitForExit(), 0);
  }

  SidecarChild child;
};

TEST_F(PeriodicSampling, WithStreamingOffNothingIsWrittenButTheHistoryFills) {
  ASSERT_TRUE(child.write(configureSelf(250)));
  // About five periodic samples fall due in this time; none may be written.
  EXPECT_FALSE(child.readLine(1300ms).has_value());
  EXPECT_FALSE(child.outputEnded());
  // On a loaded machine (or under a sanitizer) a sample can take longer than
  // the interval, so ask again until two samples are in the history; every
  // answer must still be a history chunk, never a streamed snapshot.
  std::optional<std::string> chunk;
  for (int attempt = 0; attempt < 60; ++attempt) {
    ASSERT_TRUE(child.write(R"({"version":3,"type":"readHistory","requestId":"h","windowMs":60000})" "\n"));
    chunk = child.readLine();
    ASSERT_TRUE(chunk);
    ASSERT_EQ(chunk->rfind(R"({"version":3,"type":"historyChunk","requestId":"h","done":true,"snapshots":[)", 0), 0U)
        << *chunk;
    if (count(*chunk, R"("type":"snapshot")") >= 2) {
      break;
    }
    std::this_thread::sleep_for(500ms);
  }
  EXPECT_GE(count(*chunk, R"("type":"snapshot")"), 2U) << *chunk;
  EXPECT_EQ(count(*chunk, "requestId"), 1U) << "snapshots in history carry no request id";
  EXPECT_NE(chunk->find(selfSample()), std::string::npos) << "the root process is sampled";
}

TEST_F(PeriodicSampling, WithStreamingOnEachSampleIsWrittenInSequence) {
  ASSERT_TRUE(child.write(R"({"version":3,"type":"setStreaming","enabled":true})" "\n" + configureSelf(250)));
  for (unsigned long long sequence = 1; sequence <= 3; ++sequence) {
    const std::optional<std::string> line = child.readLine();
    ASSERT_TRUE(line) << "snapshot " << sequence;
    EXPECT_EQ(line->rfind(R"({"version":3,"type":"snapshot","sequence":)", 0), 0U) << *line;
    EXPECT_EQ(topLevelNumber(*line, "sequence"), sequence);
    EXPECT_EQ(line->find("requestId"), std::string::npos) << "periodic samples carry no request id";
    EXPECT_NE(line->find(selfSample()), std::string::npos);
  }
  // Streaming off again, then a sampleNow as a fence: a periodic sample
  // written before the command was handled may come first (at most one),
  // none after it.
  ASSERT_TRUE(child.write(R"({"version":3,"type":"setStreaming","enabled":false})" "\n"
                          R"({"version":3,"type":"sampleNow","requestId":"fence"})" "\n"));
  int periodicBeforeFence = 0;
  for (;;) {
    const std::optional<std::string> line = child.readLine();
    ASSERT_TRUE(line) << "no answer to the fence";
    EXPECT_EQ(line->rfind(R"({"version":3,"type":"snapshot")", 0), 0U) << *line;
    if (line->find(R"("requestId":"fence")") != std::string::npos) {
      break;
    }
    ++periodicBeforeFence;
  }
  EXPECT_LE(periodicBeforeFence, 1);
  EXPECT_FALSE(child.readLine(800ms).has_value());
}

TEST_F(PeriodicSampling, SampleNowAfterConfigureAnswersWithTheFirstSequenceAndItsRequestId) {
  ASSERT_TRUE(child.write(configureSelf(0) + R"({"version":3,"type":"sampleNow","requestId":"now-1"})" "\n"
                          R"({"version":3,"type":"sampleNow","requestId":"now-2"})" "\n"));
  for (unsigned long long sequence = 1; sequence <= 2; ++sequence) {
    const std::optional<std::string> line = child.readLine();
    ASSERT_TRUE(line);
    EXPECT_EQ(topLevelNumber(*line, "sequence"), sequence);
    const std::string id = R"("requestId":"now-)" + std::to_string(sequence) + R"(","externalProcesses":[])";
    EXPECT_NE(line->find(id), std::string::npos) << line->substr(0, 300);
    EXPECT_NE(line->find(selfSample()), std::string::npos);
  }
}

}  // namespace
}  // namespace sidecar::e2e
