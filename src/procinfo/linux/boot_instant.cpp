#include "procinfo/linux/boot_instant.h"

#include <time.h>

namespace sidecar::procinfo {

namespace {

std::optional<std::chrono::nanoseconds> read(clockid_t id) {
  timespec now{};
  if (clock_gettime(id, &now) != 0) return std::nullopt;
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace

std::optional<std::chrono::nanoseconds> readBootInstant() {
  // The boot-time reading is taken between two wall-clock readings; the pair
  // that lies closest together places it best (a preemption between the
  // calls only widens one pair).
  std::optional<std::chrono::nanoseconds> best;
  std::chrono::nanoseconds bestSpread = std::chrono::nanoseconds::max();
  for (int attempt = 0; attempt < 5; ++attempt) {
    const auto before = read(CLOCK_REALTIME);
    const auto sinceBoot = read(CLOCK_BOOTTIME);
    const auto after = read(CLOCK_REALTIME);
    if (!before || !sinceBoot || !after) return std::nullopt;
    const std::chrono::nanoseconds spread = *after - *before;
    if (spread < std::chrono::nanoseconds(0) || spread >= bestSpread) continue;  // the wall clock was stepped
    bestSpread = spread;
    best = *before + spread / 2 - *sinceBoot;
  }
  return best;
}

std::uint64_t startSecondAfterBoot(std::chrono::nanoseconds bootInstant, std::uint64_t startTicks,
                                   std::uint64_t ticksPerSecond) {
  if (ticksPerSecond == 0) ticksPerSecond = 100;
  // Whole seconds and the remaining ticks apart, so that no product of
  // ticks and nanoseconds can overflow (the whole seconds of 2^64 ticks at
  // the smallest tick rate in use, 100 per second, fit easily).
  const auto wholeSeconds = static_cast<std::int64_t>(startTicks / ticksPerSecond);
  const auto restNanoseconds =
      static_cast<std::int64_t>((startTicks % ticksPerSecond) * 1'000'000'000 / ticksPerSecond);
  const std::int64_t bootSeconds = bootInstant.count() / 1'000'000'000;
  std::int64_t fraction = bootInstant.count() % 1'000'000'000;  // negative before the epoch
  std::int64_t seconds = bootSeconds + wholeSeconds;
  fraction += restNanoseconds;
  // Floor division: the second in which the instant lies.
  seconds += fraction / 1'000'000'000;
  fraction %= 1'000'000'000;
  if (fraction < 0) seconds -= 1;
  return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

}  // namespace sidecar::procinfo
