// Reads a process's arguments from /proc/PID/cmdline, bounded twice over,
// since the process decides what that file holds:
//   - by what the command text can use: reading stops once the joined
//     non-empty arguments fill it (ArgumentCollector), so a long command
//     line costs no more than a short one that fills the text;
//   - by COMMAND_LINE_READ_MAX_BYTES raw bytes, for an area of empty
//     arguments (which fill no text) or any other padding.
// The file is read in pieces through a fixed buffer, so neither the bytes
// read nor the memory kept grows with the argument area.
//
// One thread at a time, like the LinuxPlatform that owns it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "procinfo/linux/kept_open_files.h"

namespace sidecar::procinfo {

/// The most bytes of /proc/PID/cmdline read per process and refresh: four
/// times the command text. An argument takes its bytes and one NUL in the
/// area and its bytes and one space in the text, so the text fills (and
/// reading stops) within about the first 16 KiB of any area whose arguments are
/// not empty; the rest of the bound leaves room for 48 Ki empty arguments
/// before that. Only an area padded with more empty arguments than that
/// (which a process makes only to be dear to read) loses what lies past
/// the bound; every other area reads as if it were read whole. A process
/// that forks many children with such an area would otherwise make every
/// sample read all of it for each child.
inline constexpr std::size_t COMMAND_LINE_READ_MAX_BYTES = 64 * 1024;

class CommandLineReader {
 public:
  /// Replaces `arguments` by the arguments of `pid`, empty ones left out,
  /// as far as the bounds above allow. False when the file cannot be read;
  /// `arguments` is then untouched.
  bool read(KeptOpenFiles& files, std::uint32_t pid, ReadBuffer& buffer, std::vector<std::string>& arguments,
            std::size_t maxBytes = COMMAND_LINE_READ_MAX_BYTES);
  /// The same from `fd`, an open cmdline file (a thread's, say).
  bool readFile(int fd, ReadBuffer& buffer, std::vector<std::string>& arguments,
                std::size_t maxBytes = COMMAND_LINE_READ_MAX_BYTES);

 private:
  /// Runs `readPieces(sink)` with a sink that collects the arguments, and
  /// hands them over when the read succeeds.
  template <typename ReadPieces>
  bool collect(std::vector<std::string>& arguments, ReadPieces readPieces);

  // The arguments being read; swapped with the caller's list on success,
  // so that both keep their strings for reuse.
  std::vector<std::string> collected_;
};

}  // namespace sidecar::procinfo
