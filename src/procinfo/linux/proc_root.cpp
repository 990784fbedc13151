#include "procinfo/linux/proc_root.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace sidecar::procinfo {

bool parsePid(const char* name, std::uint32_t& pid) {
  const std::size_t length = std::strlen(name);
  if (length == 0 || name[0] < '1' || name[0] > '9') return false;
  const auto [end, error] = std::from_chars(name, name + length, pid);
  return error == std::errc() && end == name + length;
}

void DirCloser::operator()(DIR* dir) const { closedir(dir); }

ProcRoot::ProcRoot(const char* root) : root_(root) {
  dir_.reset(opendir(root));
  if (dir_) {
    usable_ = true;
    holding_ = true;
    systemStat_ = Descriptor(openat(dirfd(dir_.get()), "stat", O_RDONLY | O_CLOEXEC));
    return;
  }
  // Without a descriptor to spare the mount may still be there: it is
  // usable if it can be looked at, and is then read without holding.
  usable_ = isDescriptorShortage(errno) && access(root, R_OK | X_OK) == 0;
}

const char* ProcRoot::fullPath(const char* relative) {
  path_.assign(root_);
  path_ += '/';
  path_ += relative;
  return path_.c_str();
}

Descriptor ProcRoot::open(const char* relative) {
  if (holding_) return Descriptor(openat(dirfd(dir_.get()), relative, O_RDONLY | O_CLOEXEC));
  if (!usable_) {
    errno = ENOENT;
    return Descriptor();
  }
  return Descriptor(::open(fullPath(relative), O_RDONLY | O_CLOEXEC));
}

ssize_t ProcRoot::readLink(const char* relative, char* buffer, std::size_t size) {
  if (holding_) return readlinkat(dirfd(dir_.get()), relative, buffer, size);
  if (!usable_) return -1;
  return readlink(fullPath(relative), buffer, size);
}

bool ProcRoot::listPids(std::vector<std::uint32_t>& pids) {
  pids.clear();
  if (!usable_) return false;
  std::unique_ptr<DIR, DirCloser> opened;
  DIR* dir = dir_.get();
  if (holding_) {
    rewinddir(dir);
  } else {
    opened.reset(opendir(root_.c_str()));
    dir = opened.get();
    if (dir == nullptr) return false;
  }
  errno = 0;
  while (const dirent* entry = readdir(dir)) {
    std::uint32_t pid = 0;
    if (parsePid(entry->d_name, pid)) pids.push_back(pid);
  }
  return errno == 0;
}

bool ProcRoot::readHeldSystemStat(ReadBuffer& buffer) {
  buffer.size = 0;
  return systemStat_.valid() && readWhole(systemStat_.get(), buffer);
}

void ProcRoot::holdSystemStat(Descriptor systemStat) {
  if (holding_) systemStat_ = std::move(systemStat);
}

void ProcRoot::stopHolding() {
  systemStat_.reset();
  dir_.reset();
  holding_ = false;
}

}  // namespace sidecar::procinfo
