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

std::chrono::nanoseconds SystemClock::monotonicNow() { return read(CLOCK_MONOTONIC); }

std::chrono::nanoseconds SystemClock::wallNow() { return read(CLOCK_REALTIME); }

void SystemClock::sleepFor(std::chrono::nanoseconds duration) {
  if (duration <= std::chrono::nanoseconds(0)) return;
  // Sleeping to an absolute deadline makes a sleep cut short by a signal
  // resume for exactly the time that remains.
  const std::chrono::nanoseconds deadline = read(CLOCK_MONOTONIC) + duration;
  timespec until{};
  until.tv_sec = static_cast<time_t>(deadline.count() / 1'000'000'000);
  until.tv_nsec = static_cast<long>(deadline.count() % 1'000'000'000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

}  // namespace sidecar::procinfo
