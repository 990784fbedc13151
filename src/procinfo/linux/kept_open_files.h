// The /proc/PID files the Linux backend reads at every refresh, kept open
// from one refresh to the next and read again with pread at offset 0: stat
// for every process, io and cmdline for the watched ones, whose details the
// sampler reads. That saves the path lookup and permission check of an open
// and the teardown of a close for every file read.
//
// A descriptor keeps pointing at the process it was opened for: once that
// process has been reaped, reads through it fail (ESRCH), even when a new
// process has taken the same pid. So a failed read, or an empty stat, closes
// the descriptor and opens the file once more by its path, which reaches
// whichever process has the pid now; the caller then sees that process's
// start time and knows the pid was reused. Descriptors of pids that a
// listing no longer shows are closed by keepOnly(), and so are the io and
// cmdline descriptors of a process that has left the watched set: those not
// read since the latest listing after which any io or cmdline was read (a
// process table's refresh, which reads neither, closes nothing that way).
// A stat is closed when it was not read between the last two listings: the
// sampling source reads the stat of an unwatched process only when it may
// have changed. So a watched process keeps three descriptors, an unwatched
// one none once a refresh has passed it by.
//
// The price is kernel memory: an open stat or io file keeps the page its text
// is produced in, about 8 KiB per process kept (measured: 8 MiB of slab for
// 1000 processes, freed when the files close). At most `budget` descriptors
// are kept open; past it a file is opened, read and closed as before.
// defaultKeptOpenBudget() raises the open-file limit to its hard maximum and
// budgets the descriptors actually free then, less a reserve for the rest of
// the program: a parent may leave descriptors open in its child.
//
// Descriptors can still run short later (the limit lowered from outside,
// descriptors taken by other code, or the system's file table full). A
// value must never be lost to that: when an open fails with EMFILE or
// ENFILE, every kept file is closed, the budget drops to 0 and the open is
// tried once more; from then on every file is opened, read and closed. If
// even that open fails, the /proc directory and /proc/stat are let go too
// (ProcRoot::stopHolding) and the open is tried a last time: one free
// descriptor is then enough to read every value.
//
// Owned by the LinuxPlatform; one thread at a time, like its owner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sidecar::procinfo {

class ProcRoot;

/// An owned file descriptor, closed on destruction; -1 when none.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept;
  ~Descriptor() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset();
  /// Gives up ownership: returns the descriptor, which the caller closes.
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

/// A growable byte buffer whose storage is kept between reads.
struct ReadBuffer {
  std::unique_ptr<char[]> data;
  std::size_t capacity = 0;
  std::size_t size = 0;
  std::string_view view() const { return {data.get(), size}; }
};

/// Reads an open /proc file whole, from offset 0, into `buffer`: until a
/// read returns less than the room left, which for these files (produced
/// whole by the kernel at each read) means their end. False when a read
/// fails; `buffer` then holds what was read before.
bool readWhole(int fd, ReadBuffer& buffer);

/// Receives a file in pieces (readPieces).
class PieceSink {
 public:
  /// Called before the first piece of every attempt to read the file: what
  /// an earlier, failed attempt handed over is to be forgotten.
  virtual void restart() = 0;
  /// Takes the next piece; false when no more is wanted.
  virtual bool take(std::string_view piece) = 0;

 protected:
  ~PieceSink() = default;
};

/// Reads an open /proc file from offset 0 in pieces of the buffer's
/// capacity (made at least 4096 bytes, never grown), handing each to `sink`,
/// until the file ends (a short read, as for readWhole), the sink wants no
/// more, or `maxBytes` have been read. False when a read fails.
bool readPieces(int fd, ReadBuffer& buffer, std::size_t maxBytes, PieceSink& sink);

/// Writes "PID/leaf" into `path` (room for any pid and leaf name used here)
/// and returns it.
const char* formatPidPath(char (&path)[64], std::uint32_t pid, std::string_view leaf);

/// The per-process files kept open.
enum class ProcFile : std::uint8_t { stat, io, cmdline };

/// Raises the soft open-file limit to the hard one when that is higher and
/// returns the number of descriptors free under it (those open now, counted
/// in /proc/self/fd, are not) less RESERVED_DESCRIPTORS; 0 when fewer are
/// free or they cannot be counted.
std::size_t defaultKeptOpenBudget();
/// Descriptors left for everything else the program opens while kept files
/// use their budget. The sidecar itself holds /proc (for the listing, which
/// every source shares) and /proc/stat open, opened before the budget is
/// counted, and opens at most one more file at a time past the budget; the
/// rest is slack.
inline constexpr std::size_t RESERVED_DESCRIPTORS = 16;

/// Whether a failed open or read failed for want of descriptors (EMFILE,
/// ENFILE) rather than because of the file.
bool isDescriptorShortage(int error);

class KeptOpenFiles {
 public:
  /// `root` is the /proc mount (owned by the caller; when it is not usable
  /// every read fails); `budget` the most descriptors kept open.
  KeptOpenFiles(ProcRoot& root, std::size_t budget) : root_(root), budget_(budget) {}

  /// Reads /proc/PID/<file> whole into `buffer`: through the kept
  /// descriptor when there is one, else by opening the file, which is kept
  /// open when the budget allows. False when the file cannot be opened or
  /// read (the process has gone, or access is denied).
  bool read(std::uint32_t pid, ProcFile file, ReadBuffer& buffer);

  /// Reads /proc/PID/<file> like read(), but in pieces handed to `sink`
  /// and no further than `maxBytes` (readPieces).
  bool readInPieces(std::uint32_t pid, ProcFile file, ReadBuffer& buffer, std::size_t maxBytes, PieceSink& sink);

  /// Opens `relative` (a path below /proc) for reading. When descriptors
  /// have run short, stops keeping files (releaseKeptFiles) and tries once
  /// more, then stops holding the /proc directory and /proc/stat and tries
  /// a last time. Invalid when the open fails.
  Descriptor openFile(const char* relative);

  /// Closes every kept file and keeps none from now on: the budget is 0.
  void releaseKeptFiles();

  /// Closes the files of every pid not in `listed`, and the io and cmdline
  /// files not read since the latest listing after which any was read.
  void keepOnly(const std::vector<std::uint32_t>& listed);

  /// Descriptors kept open now.
  std::size_t openCount() const { return open_; }
  /// The most descriptors kept open; 0 once descriptors have run short.
  std::size_t budget() const { return budget_; }

 private:
  struct Files {
    Descriptor byFile[3];
    std::uint64_t listing = 0;      // the last keepOnly() that listed the pid
    std::uint64_t detailsRead = 0;  // the keepOnly() after which io or cmdline was last read
    std::uint64_t statRead = 0;     // the keepOnly() after which stat was last read

    void markRead(ProcFile file, std::uint64_t listing) {
      (file == ProcFile::stat ? statRead : detailsRead) = listing;
    }
  };

  /// The kept-or-fresh descriptor logic of read(), with `readFrom(fd)`
  /// doing the reading.
  template <typename ReadFrom>
  bool readWith(std::uint32_t pid, ProcFile file, ReadFrom readFrom);

  ProcRoot& root_;
  std::size_t budget_;
  std::size_t open_ = 0;
  std::uint64_t listing_ = 0;
  std::uint64_t detailsListing_ = 0;  // the latest keepOnly() after which io or cmdline was read
  std::unordered_map<std::uint32_t, Files> files_;
  char path_[64] = {};
};

}  // namespace sidecar::procinfo
