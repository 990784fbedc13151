// Parsers for the /proc files the Linux backend reads: /proc/PID/stat,
// /proc/PID/io and /proc/stat. Pure functions on the bytes of one file; any
// thread. Kept apart from the reading so that odd contents (names with
// spaces and parentheses, missing fields) are tested directly.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "procinfo/platform.h"

namespace sidecar::procinfo {

/// The fields of /proc/PID/stat the sidecar uses.
struct ProcStat {
  /// The short name between the first '(' and the last ')'; points into the
  /// parsed text.
  std::string_view comm;
  char state = '?';
  std::uint32_t parentPid = 0;
  std::uint64_t userTicks = 0;
  std::uint64_t systemTicks = 0;
  /// The process's threads (1 for a process that has exited whole).
  std::uint64_t threadCount = 0;
  std::uint64_t startTicks = 0;  // since boot
  std::uint64_t virtualBytes = 0;
  std::uint64_t residentPages = 0;
};

/// Parses one /proc/PID/stat line. The name may hold any byte, ')' and
/// spaces included, so it ends at the last ')'. Empty when a field up to the
/// resident size is missing or not a number.
std::optional<ProcStat> parseProcStat(std::string_view text);

/// read_bytes and write_bytes of /proc/PID/io; empty when either is missing.
std::optional<DiskCounters> parseProcIo(std::string_view text);

/// The "cpuN" lines of /proc/stat (not the "cpu" total) into `ticks`
/// (cleared first): user; system + irq + softirq + steal; idle + iowait;
/// nice; each cut to 32 bits, since the counters are kept as 32-bit
/// counters that wrap; and N as the processor number. Only online
/// processors are listed, so the numbers may have gaps. Returns false when
/// no processor line was found.
bool parseProcessorLines(std::string_view text, std::vector<ProcessorTicks>& ticks);

/// The "btime" value of /proc/stat (seconds since the Unix epoch).
std::optional<std::uint64_t> parseBootTime(std::string_view text);

/// The target of /proc/PID/exe without a trailing " (deleted)".
std::string_view withoutDeletedSuffix(std::string_view target);

}  // namespace sidecar::procinfo
