#include "procinfo/linux/proc_root.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace sidecar::procinfo {

namespace {

constexpr std::size_t LIST_BUFFER_SIZE = 256 * 1024;

}  // namespace

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

bool ProcRoot::statFollowing(const char* relative, struct stat& status) {
  if (holding_) return fstatat(dirfd(dir_.get()), relative, &status, 0) == 0;
  if (!usable_) return false;
  return ::stat(fullPath(relative), &status) == 0;
}

bool ProcRoot::listPids(std::vector<std::uint32_t>& pids) {
  pids.clear();
  if (!usable_) return false;
  std::unique_ptr<DIR, DirCloser> opened;
  DIR* dir = dir_.get();
  if (!holding_) {
    opened.reset(opendir(root_.c_str()));
    dir = opened.get();
    if (dir == nullptr) return false;
  }
  // getdents64 straight into one large buffer, from the start of the
  // directory: thousands of processes in one or two calls, where readdir's
  // own buffer takes a call per few hundred.
  const int fd = dirfd(dir);
  if (lseek(fd, 0, SEEK_SET) != 0) return false;
  if (!listBuffer_) listBuffer_ = std::make_unique<char[]>(LIST_BUFFER_SIZE);
  for (;;) {
    const long got = syscall(SYS_getdents64, fd, listBuffer_.get(), LIST_BUFFER_SIZE);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    for (long at = 0; at < got;) {
      // struct linux_dirent64: d_ino (8 bytes), d_off (8), d_reclen (2),
      // d_type (1), then the name and its NUL.
      unsigned short length = 0;
      std::memcpy(&length, listBuffer_.get() + at + 16, sizeof length);
      if (length == 0 || at + length > got) return false;
      std::uint32_t pid = 0;
      if (parsePid(listBuffer_.get() + at + 19, pid)) pids.push_back(pid);
      at += length;
    }
  }
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
