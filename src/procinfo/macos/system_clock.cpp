#include <time.h>

#include <cerrno>

#include "procinfo/clock.h"

namespace sidecar::procinfo {

namespace {

std::chrono::nanoseconds read(clockid_t id) {
  timespec now{};
  clock_gettime(id, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace

// CLOCK_UPTIME_RAW does not advance while the machine sleeps, as the
// processor tick counters do not.
std::chrono::nanoseconds SystemClock::monotonicNow() { return read(CLOCK_UPTIME_RAW); }

std::chrono::nanoseconds SystemClock::wallNow() { return read(CLOCK_REALTIME); }

void SystemClock::sleepFor(std::chrono::nanoseconds duration) {
  if (duration <= std::chrono::nanoseconds(0)) return;
  timespec remaining{};
  remaining.tv_sec = static_cast<time_t>(duration.count() / 1'000'000'000);
  remaining.tv_nsec = static_cast<long>(duration.count() % 1'000'000'000);
  // nanosleep reports what is left when a signal cuts it short.
  while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
  }
}

}  // namespace sidecar::procinfo
