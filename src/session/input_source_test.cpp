#include "session/input_source.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <thread>

namespace sidecar::session {
namespace {

// The scheduler state of one thread of this process ('R', 'S', ...), or 0
// when it cannot be read.
char threadState(long tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() ? '\0' : text[close + 2];
}

// Standard input in non-blocking mode (a parent or terminal set the flag on
// the shared open file) with nothing written yet: the read waits for the
// first byte instead of failing with "would block".
TEST(FdInputSourceTest, NonBlockingDescriptorWaitsForTheFirstByte) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK), 0);

  std::atomic<long> readerTid{0};
  std::promise<ReadOutcome> outcome;
  std::future<ReadOutcome> done = outcome.get_future();
  std::thread reader([&] {
    readerTid = ::syscall(SYS_gettid);
    FdInputSource source(fds[0]);
    char buffer[16];
    outcome.set_value(source.read(buffer, sizeof buffer));
  });

  // Write only once the reader is asleep waiting for input (or has already
  // returned, which is the fault this test catches).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (done.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready &&
         std::chrono::steady_clock::now() < deadline) {
    if (readerTid != 0 && threadState(readerTid) == 'S') {
      break;
    }
  }
  ASSERT_EQ(::write(fds[1], "abc", 3), 3);
  const ReadOutcome got = done.get();
  reader.join();
  EXPECT_EQ(got.errnum, 0) << std::strerror(got.errnum);
  EXPECT_EQ(got.count, 3U);

  // End of input still reads as end, not as an error.
  ::close(fds[1]);
  FdInputSource source(fds[0]);
  char buffer[16];
  const ReadOutcome end = source.read(buffer, sizeof buffer);
  EXPECT_EQ(end.errnum, 0);
  EXPECT_EQ(end.count, 0U);
  ::close(fds[0]);
}

}  // namespace
}  // namespace sidecar::session
