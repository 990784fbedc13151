// The Linux exit watch: one pidfd per process it is asked to watch (the
// sampling source asks for every process it knows, watched by the parent or
// not; pidfd_open, Linux 5.3 and later), all of them in one epoll set. A pidfd refers to the process it
// was opened for, never to a later holder of its pid, and becomes readable
// when that process ends (it turns zombie, or is reaped); so collect()
// learns from one epoll_wait without a timeout which watched processes have
// ended, at a cost that grows with the number that ended, not with the
// number watched.
//
// A zombie's pidfd stays readable until the zombie is reaped, so a pidfd
// that has reported its end turns edge-triggered and is held apart: it is
// reported once, not at every collect(). Once the process has been reaped
// the pid is reported released, and the pid may now belong to another
// process, whatever its start time. Recent kernels mark the reap on the
// pidfd (EPOLLHUP, with a wake-up), which the epoll set then reports at no
// cost per zombie; on others each held pidfd is asked at every collect(),
// with a null signal (pidfd_send_signal), whether its process still exists.
//
// Each watched process costs one descriptor. At most `budget` are held; past
// it watch() declines and the caller reads that process at every refresh, as
// it would without a watch. When descriptors run short (EMFILE, ENFILE) or
// the epoll set cannot grow, or when the backend's kept files have run short
// of descriptors themselves, every pidfd is closed, every pid watched is
// reported given up at the next collect(), and no process is watched any
// more: the caller falls back to reading every process, and the descriptors
// go to the reads.
//
// Owned by the source that made it (LinuxPlatform::makeExitWatch); one
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "procinfo/linux/kept_open_files.h"
#include "procinfo/platform.h"

namespace sidecar::procinfo {

/// Whether this kernel offers pidfd_open.
bool pidfdsAvailable();

/// Whether this kernel marks the reap of a process on its pidfd (POLLHUP,
/// with a wake-up), found out once by starting and reaping a child that
/// exits at once.
bool kernelMarksReapOnPidfd();

class PidfdExitWatch final : public ExitWatch {
 public:
  /// `files` are the backend's kept files (which must outlive the watch):
  /// once they have run short of descriptors, the watch gives up too.
  /// `reapMarked`: the kernel marks a reap on the pidfd
  /// (kernelMarksReapOnPidfd), so that no ended process need be asked.
  PidfdExitWatch(std::size_t budget, const KeptOpenFiles& files, bool reapMarked = false)
      : budget_(budget), files_(files), reapMarked_(reapMarked) {}

  bool watch(std::uint32_t pid) override;
  void forget(std::uint32_t pid) override;
  void collect(ExitNews& news) override;

  /// Pidfds held now, of live and of ended processes.
  std::size_t watchedCount() const { return pidfds_.size() + ended_.size(); }
  /// False once descriptors ran short: nothing is watched from then on.
  bool active() const { return !gaveUp_; }

 private:
  void giveUp();
  /// Ended and released processes from the epoll set.
  void readEvents(ExitNews& news);
  /// Gives up when the kept files have run short since the last call.
  void followShortage();

  std::size_t budget_;
  const KeptOpenFiles& files_;
  bool reapMarked_;
  bool gaveUp_ = false;
  Descriptor epoll_;
  // Pidfds of live processes, in the epoll set; pidfds of processes whose
  // end was reported, out of it, until they are released or forgotten.
  std::unordered_map<std::uint32_t, Descriptor> pidfds_;
  std::unordered_map<std::uint32_t, Descriptor> ended_;
  // Pids whose watch was given up, reported by the next collect().
  std::vector<std::uint32_t> givenUp_;
};

}  // namespace sidecar::procinfo
