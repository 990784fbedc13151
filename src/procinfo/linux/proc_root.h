// The /proc mount the Linux backend reads, and the descriptors it holds on
// it for its whole life: the /proc directory (for the listing and for
// opening files relative to it) and /proc/stat (processor counters and boot
// time). Holding them saves a path lookup per file and keeps the CPU
// interval readable while other descriptors are kept open.
//
// With very few descriptors (an open-file limit of 4 leaves one free above
// the standard streams) holding even these two would leave nothing to read
// a process with. So they can be let go (stopHolding): from then on the
// directory is opened for each listing and closed after it, files are opened
// by their full path, and /proc/stat is opened for each read. Every value
// stays readable as long as one descriptor is free.
//
// Owned by the LinuxPlatform; one thread at a time, like its owner.
#pragma once

#include <sys/stat.h>

#include <dirent.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "procinfo/linux/kept_open_files.h"

namespace sidecar::procinfo {

/// Whether `name` is a pid as /proc and its task/ folders name them (digits,
/// no leading zero); the value into `pid`.
bool parsePid(const char* name, std::uint32_t& pid);

/// Closes a directory stream (for std::unique_ptr).
struct DirCloser {
  void operator()(DIR* dir) const;
};

class ProcRoot {
 public:
  /// Opens and holds `root` (the /proc mount) and its stat file. When the
  /// directory cannot be opened at all (no such mount), usable() is false
  /// and every read fails; a want of descriptors only stops the holding.
  explicit ProcRoot(const char* root);

  /// Whether the mount exists (its directory could be opened once).
  bool usable() const { return usable_; }
  /// Whether the directory and /proc/stat are held open now.
  bool holding() const { return holding_; }

  /// Opens `relative` (a path below the root) read-only.
  Descriptor open(const char* relative);
  /// readlink of `relative`; the length read, or -1.
  ssize_t readLink(const char* relative, char* buffer, std::size_t size);
  /// stat(2) of `relative`, following links (so PID/exe gives the file the
  /// process runs, deleted or not); false when it fails.
  bool statFollowing(const char* relative, struct stat& status);
  /// Every all-digit entry of the directory, in directory order, into `pids`
  /// (cleared first). False when the directory cannot be read.
  bool listPids(std::vector<std::uint32_t>& pids);
  /// Reads /proc/stat whole into `buffer` through the held descriptor;
  /// false when none is held or the read fails.
  bool readHeldSystemStat(ReadBuffer& buffer);
  /// Holds `systemStat` (a fresh descriptor of /proc/stat) while holding.
  void holdSystemStat(Descriptor systemStat);

  /// Closes the held directory and /proc/stat; later reads open what they
  /// need and close it again. Idempotent.
  void stopHolding();

 private:
  /// `relative` prefixed with the root, in path_.
  const char* fullPath(const char* relative);

  std::string root_;
  bool usable_ = false;
  bool holding_ = false;
  std::unique_ptr<DIR, DirCloser> dir_;
  Descriptor systemStat_;
  std::string path_;
  // The listing's getdents64 buffer, made at the first listing.
  std::unique_ptr<char[]> listBuffer_;
};

}  // namespace sidecar::procinfo
