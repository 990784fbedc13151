#include "procinfo/linux/kept_open_files.h"

#include "procinfo/linux/proc_root.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace sidecar::procinfo {

namespace {

constexpr std::size_t FIRST_CAPACITY = 4096;

constexpr std::string_view LEAVES[] = {"stat", "io", "cmdline"};

}  // namespace

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void Descriptor::reset() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool readWhole(int fd, ReadBuffer& buffer) {
  buffer.size = 0;
  for (;;) {
    if (buffer.size == buffer.capacity) {
      const std::size_t capacity = buffer.capacity == 0 ? FIRST_CAPACITY : buffer.capacity * 2;
      auto grown = std::make_unique_for_overwrite<char[]>(capacity);
      if (buffer.size > 0) std::memcpy(grown.get(), buffer.data.get(), buffer.size);
      buffer.data = std::move(grown);
      buffer.capacity = capacity;
    }
    const ssize_t got =
        pread(fd, buffer.data.get() + buffer.size, buffer.capacity - buffer.size, static_cast<off_t>(buffer.size));
    if (got > 0) {
      buffer.size += static_cast<std::size_t>(got);
      // The kernel produces these files whole at each read, so a read that
      // leaves room in the buffer has reached the end; asking again would
      // only return 0.
      if (buffer.size < buffer.capacity) return true;
    } else if (got == 0) {
      return true;
    } else if (errno != EINTR) {
      return false;
    }
  }
}

bool readPieces(int fd, ReadBuffer& buffer, std::size_t maxBytes, PieceSink& sink) {
  sink.restart();
  if (buffer.capacity < FIRST_CAPACITY) {
    buffer.data = std::make_unique_for_overwrite<char[]>(FIRST_CAPACITY);
    buffer.capacity = FIRST_CAPACITY;
  }
  buffer.size = 0;
  std::size_t offset = 0;
  while (offset < maxBytes) {
    const std::size_t asked = std::min(buffer.capacity, maxBytes - offset);
    const ssize_t got = pread(fd, buffer.data.get(), asked, static_cast<off_t>(offset));
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return true;
    offset += static_cast<std::size_t>(got);
    if (!sink.take(std::string_view(buffer.data.get(), static_cast<std::size_t>(got)))) return true;
    // As for readWhole: the kernel fills a read as far as the file goes.
    if (static_cast<std::size_t>(got) < asked) return true;
  }
  return true;
}

const char* formatPidPath(char (&path)[64], std::uint32_t pid, std::string_view leaf) {
  char* end = std::to_chars(path, path + 16, pid).ptr;
  *end++ = '/';
  std::memcpy(end, leaf.data(), leaf.size());
  end[leaf.size()] = '\0';
  return path;
}

namespace {

// The descriptors open now with a number below `limit` (those above it take
// no room under it); `limit` when they cannot be counted.
rlim_t descriptorsInUseBelow(rlim_t limit) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return limit;
  const int own = dirfd(dir);
  rlim_t inUse = 0;
  errno = 0;
  while (const dirent* entry = readdir(dir)) {
    int fd = -1;
    const std::string_view name(entry->d_name);
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), fd);
    if (error != std::errc() || end != name.data() + name.size() || fd == own) continue;
    if (fd >= 0 && static_cast<rlim_t>(fd) < limit) ++inUse;
  }
  const bool complete = errno == 0;
  closedir(dir);
  return complete ? inUse : limit;
}

}  // namespace

std::size_t defaultKeptOpenBudget() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_cur != RLIM_INFINITY && limit.rlim_max > limit.rlim_cur) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  // An unlimited soft limit does not happen for open files (the kernel caps
  // it); count it as the hard cap the kernel would apply anyway.
  const rlim_t soft = limit.rlim_cur == RLIM_INFINITY ? limit.rlim_max : limit.rlim_cur;
  if (soft == RLIM_INFINITY) return 0;
  const rlim_t inUse = descriptorsInUseBelow(soft);
  if (inUse >= soft || soft - inUse <= RESERVED_DESCRIPTORS) return 0;
  return static_cast<std::size_t>(soft - inUse - RESERVED_DESCRIPTORS);
}

bool isDescriptorShortage(int error) { return error == EMFILE || error == ENFILE; }

Descriptor KeptOpenFiles::openFile(const char* relative) {
  Descriptor fd = root_.open(relative);
  if (!fd.valid() && isDescriptorShortage(errno)) {
    // Kept files are a saving, never worth a value: give them all up.
    releaseKeptFiles();
    fd = root_.open(relative);
  }
  if (!fd.valid() && isDescriptorShortage(errno) && root_.holding()) {
    // So are the held /proc directory and /proc/stat.
    root_.stopHolding();
    fd = root_.open(relative);
  }
  return fd;
}

void KeptOpenFiles::releaseKeptFiles() {
  files_.clear();
  open_ = 0;
  budget_ = 0;
}

template <typename ReadFrom>
bool KeptOpenFiles::readWith(std::uint32_t pid, ProcFile file, ReadFrom readFrom) {
  if (!root_.usable()) return false;
  const auto slot = static_cast<std::size_t>(file);
  if (file != ProcFile::stat) detailsListing_ = listing_;
  auto entry = files_.find(pid);
  if (entry != files_.end()) entry->second.markRead(file, listing_);
  if (entry != files_.end() && entry->second.byFile[slot].valid()) {
    Descriptor& kept = entry->second.byFile[slot];
    if (readFrom(kept.get())) return true;
    // The process has gone, or another now has its pid: open it afresh.
    kept.reset();
    --open_;
  }
  Descriptor fresh = openFile(formatPidPath(path_, pid, LEAVES[slot]));
  if (!fresh.valid() || !readFrom(fresh.get())) return false;
  if (open_ < budget_) {
    // Looked up again: openFile() may have released every kept file.
    entry = files_.try_emplace(pid).first;
    entry->second.markRead(file, listing_);
    entry->second.byFile[slot] = std::move(fresh);
    ++open_;
  }
  return true;
}

bool KeptOpenFiles::read(std::uint32_t pid, ProcFile file, ReadBuffer& buffer) {
  buffer.size = 0;
  return readWith(pid, file, [&](int fd) {
    // A stat is never empty while its process lives.
    return readWhole(fd, buffer) && (file != ProcFile::stat || buffer.size > 0);
  });
}

bool KeptOpenFiles::readInPieces(std::uint32_t pid, ProcFile file, ReadBuffer& buffer, std::size_t maxBytes,
                                 PieceSink& sink) {
  return readWith(pid, file, [&](int fd) { return readPieces(fd, buffer, maxBytes, sink); });
}

void KeptOpenFiles::keepOnly(const std::vector<std::uint32_t>& listed) {
  if (files_.empty()) return;
  ++listing_;
  for (const std::uint32_t pid : listed) {
    const auto entry = files_.find(pid);
    if (entry != files_.end()) entry->second.listing = listing_;
  }
  for (auto entry = files_.begin(); entry != files_.end();) {
    if (entry->second.listing == listing_) {
      // Listed: its io and cmdline stay open while they are read.
      Descriptor& stat = entry->second.byFile[static_cast<std::size_t>(ProcFile::stat)];
      if (stat.valid() && entry->second.statRead + 1 < listing_) {
        stat.reset();
        --open_;
      }
      if (entry->second.detailsRead < detailsListing_) {
        for (const ProcFile detail : {ProcFile::io, ProcFile::cmdline}) {
          Descriptor& descriptor = entry->second.byFile[static_cast<std::size_t>(detail)];
          if (descriptor.valid()) {
            descriptor.reset();
            --open_;
          }
        }
      }
      ++entry;
      continue;
    }
    for (const Descriptor& descriptor : entry->second.byFile) {
      if (descriptor.valid()) --open_;
    }
    entry = files_.erase(entry);
  }
}

}  // namespace sidecar::procinfo
