#include "procinfo/linux/pidfd_exit_watch.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace sidecar::procinfo {

namespace {

#ifdef SYS_pidfd_open
constexpr long PIDFD_OPEN = SYS_pidfd_open;
#else
constexpr long PIDFD_OPEN = 434;  // the same number on every architecture
#endif
#ifdef SYS_pidfd_send_signal
constexpr long PIDFD_SEND_SIGNAL = SYS_pidfd_send_signal;
#else
constexpr long PIDFD_SEND_SIGNAL = 424;  // the same number on every architecture
#endif

constexpr int EVENTS_PER_WAIT = 128;

int pidfdOpen(std::uint32_t pid) { return static_cast<int>(syscall(PIDFD_OPEN, static_cast<pid_t>(pid), 0U)); }

/// Whether the process of `pidfd` has been released (reaped). The null
/// signal only checks: it fails with ESRCH once the process is gone, and
/// succeeds (or fails with EPERM) while it exists, a zombie included.
bool released(int pidfd) {
  return syscall(PIDFD_SEND_SIGNAL, pidfd, 0, nullptr, 0U) != 0 && errno == ESRCH;
}

/// The pid and the descriptor in one epoll tag, so that an event is matched
/// to the very pidfd it came from.
std::uint64_t tag(std::uint32_t pid, int fd) {
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(fd)) << 32U) | pid;
}

}  // namespace

bool kernelMarksReapOnPidfd() {
  // A child that exits at once, reaped while its pidfd is open: a kernel
  // that marks the reap reports POLLHUP on that pidfd.
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) _exit(0);
  const Descriptor pidfd(pidfdOpen(static_cast<std::uint32_t>(child)));
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!pidfd.valid()) return false;
  pollfd entry{pidfd.get(), POLLIN, 0};
  return poll(&entry, 1, 0) == 1 && (entry.revents & POLLHUP) != 0;
}

bool pidfdsAvailable() {
  const Descriptor own(pidfdOpen(static_cast<std::uint32_t>(getpid())));
  return own.valid();
}

void PidfdExitWatch::followShortage() {
  // Kept files drop their budget to 0 only when descriptors ran short.
  if (!gaveUp_ && files_.budget() == 0) giveUp();
}

bool PidfdExitWatch::watch(std::uint32_t pid) {
  followShortage();
  if (gaveUp_ || watchedCount() >= budget_ || pid == 0) return false;
  if (!epoll_.valid()) {
    epoll_ = Descriptor(epoll_create1(EPOLL_CLOEXEC));
    if (!epoll_.valid()) {
      giveUp();
      return false;
    }
  }
  Descriptor pidfd(pidfdOpen(pid));
  if (!pidfd.valid()) {
    // Gone (ESRCH) is the caller's to find out; a shortage ends all watching.
    if (isDescriptorShortage(errno)) giveUp();
    return false;
  }
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = tag(pid, pidfd.get());
  if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, pidfd.get(), &event) != 0) {
    giveUp();
    return false;
  }
  ended_.erase(pid);
  pidfds_.insert_or_assign(pid, std::move(pidfd));
  return true;
}

void PidfdExitWatch::forget(std::uint32_t pid) {
  // Closing the pidfd takes it out of the epoll set.
  pidfds_.erase(pid);
  ended_.erase(pid);
}

void PidfdExitWatch::collect(ExitNews& news) {
  followShortage();
  news.givenUp.insert(news.givenUp.end(), givenUp_.begin(), givenUp_.end());
  givenUp_.clear();
  if (epoll_.valid() && (!pidfds_.empty() || !ended_.empty())) readEvents(news);
  // Where the kernel does not mark the reap on the pidfd, each ended
  // process is asked whether it still exists.
  if (reapMarked_) return;
  for (auto it = ended_.begin(); it != ended_.end();) {
    if (released(it->second.get())) {
      news.released.push_back(it->first);
      it = ended_.erase(it);
    } else {
      ++it;
    }
  }
}

void PidfdExitWatch::readEvents(ExitNews& news) {
  epoll_event events[EVENTS_PER_WAIT];
  for (;;) {
    const int ready = epoll_wait(epoll_.get(), events, EVENTS_PER_WAIT, 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return;
    for (int i = 0; i < ready; ++i) {
      const std::uint64_t data = events[i].data.u64;
      const auto pid = static_cast<std::uint32_t>(data & 0xFFFFFFFFU);
      const auto fd = static_cast<int>(data >> 32U);
      const auto live = pidfds_.find(pid);
      if (live != pidfds_.end() && live->second.get() == fd) {
        news.ended.push_back(pid);
        // Edge-triggered from now on: a zombie's pidfd stays readable, and
        // would be reported at every call. Held until released; a kernel
        // that marks the reap (EPOLLHUP) wakes it once more then.
        epoll_event edge{};
        edge.events = EPOLLIN | EPOLLET;
        edge.data.u64 = data;
        epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &edge);
        ended_.insert_or_assign(pid, std::move(live->second));
        pidfds_.erase(live);
        continue;
      }
      const auto held = ended_.find(pid);
      if (held != ended_.end() && held->second.get() == fd && (events[i].events & EPOLLHUP) != 0) {
        news.released.push_back(pid);
        ended_.erase(held);  // closing takes it out of the epoll set
      }
    }
    if (ready < EVENTS_PER_WAIT) return;
  }
}

void PidfdExitWatch::giveUp() {
  gaveUp_ = true;
  for (const auto& [pid, pidfd] : pidfds_) givenUp_.push_back(pid);
  for (const auto& [pid, pidfd] : ended_) givenUp_.push_back(pid);
  pidfds_.clear();
  ended_.clear();
  epoll_.reset();
}

}  // namespace sidecar::procinfo
