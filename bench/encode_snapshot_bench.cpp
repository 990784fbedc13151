// Encoding speed of the largest routine message: a snapshot of 500 processes
// with realistic names, command lines and numbers, written through the
// MessageWriter into a sink that drops the bytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "protocol/byte_sink.h"
#include "protocol/message_writer.h"
#include "protocol/snapshot.h"

namespace {

using sidecar::protocol::ByteSink;
using sidecar::protocol::IoStatus;
using sidecar::protocol::MessageWriter;
using sidecar::protocol::ProcessSample;
using sidecar::protocol::Snapshot;
using sidecar::protocol::SnapshotMessage;
using sidecar::protocol::WriteOutcome;

class DiscardingSink final : public ByteSink {
 public:
  WriteOutcome write(const char* /*data*/, std::size_t size) override {
    written_ += size;
    return WriteOutcome{size, 0};
  }
  IoStatus flush() override { return IoStatus::ok(); }
  std::uint64_t written() const { return written_; }

 private:
  std::uint64_t written_ = 0;
};

Snapshot realisticSnapshot(std::size_t processCount) {
  static const char* const NAMES[] = {"node", "Google Chrome Helper (Renderer)", "python3.11", "zsh",
                                      "com.apple.WebKit.WebContent", "clangd", "rust-analyzer", "postgres"};
  static const char* const COMMANDS[] = {
      "/usr/local/bin/node /Users/dev/project/node_modules/.bin/vite --port 5173 --host 127.0.0.1",
      "/Applications/Google Chrome.app/Contents/Frameworks/Google Chrome Framework.framework/Helpers/"
      "Google Chrome Helper (Renderer).app/Contents/MacOS/Google Chrome Helper (Renderer) --type=renderer "
      "--lang=en-US --num-raster-threads=4 --renderer-client-id=42",
      "/opt/homebrew/bin/python3.11 -m pytest tests/ -x -q",
      "-zsh",
      "/System/Library/Frameworks/WebKit.framework/Versions/A/XPCServices/com.apple.WebKit.WebContent.xpc",
      "/usr/bin/clangd --background-index --header-insertion=never",
      "/Users/dev/.cargo/bin/rust-analyzer",
      "postgres: checkpointer",
  };
  static const char* const STATUSES[] = {"running", "sleeping", "idle", "stopped"};
  static const float CPU[] = {0.0F, 0.1F, 1.2345F, 12.5F, 33.333332F, 99.87F, 250.4F, 0.033F};

  Snapshot snapshot;
  snapshot.sequence = 123456;
  snapshot.sampledAtUnixMs = 1718000000123;
  snapshot.collectionDurationMicros = 14250;
  snapshot.scannedProcessCount = 812;
  snapshot.retainedProcessCount = processCount;
  snapshot.inaccessibleProcessCount = 37;
  snapshot.externalProcesses = {{90210, 1718000000000}, {90211, std::nullopt}};
  for (std::size_t i = 0; i < processCount; ++i) {
    ProcessSample sample;
    sample.pid = static_cast<std::uint32_t>(1000 + i * 7);
    sample.ppid = static_cast<std::uint32_t>(i == 0 ? 1 : 1000 + (i / 4) * 7);
    sample.startTimeMs = 1717990000000 + i * 1000;
    sample.runTimeMs = 10000000 - i * 1000;
    sample.name = NAMES[i % 8];
    sample.command = COMMANDS[i % 8];
    sample.status = STATUSES[i % 4];
    sample.cpuPercent = CPU[i % 8] + static_cast<float>(i % 13) * 0.37F;
    sample.cpuTimeMs = 123456 + i * 997;
    sample.residentBytes = 52428800 + i * 40960;
    sample.virtualBytes = 420906795008 + i * 4096;
    sample.ioReadBytes = 1048576 * (i % 50);
    sample.ioWriteBytes = 65536 * (i % 20);
    snapshot.processes.push_back(std::move(sample));
  }
  return snapshot;
}

void BM_EncodeSnapshot500(benchmark::State& state) {
  const Snapshot snapshot = realisticSnapshot(500);
  DiscardingSink sink;
  MessageWriter writer(sink);
  for (auto _ : state) {
    if (!writer.writeMessage(SnapshotMessage{snapshot}).isOk()) {
      state.SkipWithError("write failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(sink.written()));
  state.counters["lineBytes"] =
      static_cast<double>(sink.written()) / static_cast<double>(std::max<std::int64_t>(state.iterations(), 1));
}
BENCHMARK(BM_EncodeSnapshot500);

}  // namespace

BENCHMARK_MAIN();
