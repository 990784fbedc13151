#include "procinfo/linux/kept_open_files.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

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

const char* formatPidPath(char (&path)[64], std::uint32_t pid, std::string_view leaf) {
  char* end = std::to_chars(path, path + 16, pid).ptr;
  *end++ = '/';
  std::memcpy(end, leaf.data(), leaf.size());
  end[leaf.size()] = '\0';
  return path;
}

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
  if (soft == RLIM_INFINITY || soft <= RESERVED_DESCRIPTORS) return 0;
  return static_cast<std::size_t>(soft - RESERVED_DESCRIPTORS);
}

bool KeptOpenFiles::read(std::uint32_t pid, ProcFile file, ReadBuffer& buffer) {
  buffer.size = 0;
  if (procFd_ < 0) return false;
  const auto slot = static_cast<std::size_t>(file);
  if (file != ProcFile::stat) detailsListing_ = listing_;
  auto entry = files_.find(pid);
  if (entry != files_.end() && file != ProcFile::stat) entry->second.detailsRead = listing_;
  if (entry != files_.end() && entry->second.byFile[slot].valid()) {
    Descriptor& kept = entry->second.byFile[slot];
    // A stat is never empty while its process lives.
    if (readWhole(kept.get(), buffer) && (file != ProcFile::stat || buffer.size > 0)) return true;
    // The process has gone, or another now has its pid: open it afresh.
    kept.reset();
    --open_;
  }
  Descriptor fresh(openat(procFd_, formatPidPath(path_, pid, LEAVES[slot]), O_RDONLY | O_CLOEXEC));
  if (!fresh.valid() || !readWhole(fresh.get(), buffer)) return false;
  if (open_ < budget_) {
    if (entry == files_.end()) {
      entry = files_.try_emplace(pid).first;
      if (file != ProcFile::stat) entry->second.detailsRead = listing_;
    }
    entry->second.byFile[slot] = std::move(fresh);
    ++open_;
  }
  return true;
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
