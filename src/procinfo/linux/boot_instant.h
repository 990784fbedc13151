// The instant the system booted, with its fraction of a second, and the
// start second of a process computed from it.
//
// /proc/PID/stat gives a process's start as clock ticks since boot. The
// "btime" of /proc/stat is the boot instant cut down to a whole second, so
// adding the ticks to it puts every start second boundary the boot
// instant's fraction late: a process started at 12:00:05.1 on a machine
// that booted 0.3 s past a second would be reported as started at
// 12:00:04. The boot instant here is the wall clock less the time since
// boot (CLOCK_BOOTTIME, the clock the start ticks count on, suspend
// included), to the microsecond.
//
// Pure functions apart from readBootInstant's clock reads; any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace sidecar::procinfo {

/// The boot instant since the Unix epoch: CLOCK_REALTIME less
/// CLOCK_BOOTTIME, from the closest of a few paired readings. Empty when
/// either clock cannot be read.
std::optional<std::chrono::nanoseconds> readBootInstant();

/// The whole second since the Unix epoch in which a process started
/// `startTicks` clock ticks after `bootInstant`; 0 when that instant is
/// before the epoch. The ticks are whole ticks, cut down by the kernel, so
/// the result can be the second before the true one when the process started
/// within one tick after a second began.
std::uint64_t startSecondAfterBoot(std::chrono::nanoseconds bootInstant, std::uint64_t startTicks,
                                   std::uint64_t ticksPerSecond);

}  // namespace sidecar::procinfo
