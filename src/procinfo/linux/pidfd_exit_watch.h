// The Linux exit watch: one pidfd per process it is asked to watch (the
// sampling source asks for every process it knows, watched by the parent or
// not; pidfd_open, Linux 5.3 and later), all of them in one epoll set. A pidfd refers to the process it
// was opened for, never to a later holder of its pid, and becomes readable
// when that process ends (it turns zombie, or is reaped); so collectLost()
// learns from one epoll_wait without a timeout which watched processes have
// ended, at a cost that grows with the number that ended, not with the
// number watched.
//
// Each watched process costs one descriptor. At most `budget` are held; past
// it watch() declines and the caller reads that process at every refresh, as
// it would without a watch. When descriptors run short (EMFILE, ENFILE) or
// the epoll set cannot grow, or when the backend's kept files have run short
// of descriptors themselves, every pidfd is closed, every pid watched is
// reported lost at the next collectLost(), and no process is watched any
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

class PidfdExitWatch final : public ExitWatch {
 public:
  /// `files` are the backend's kept files (which must outlive the watch):
  /// once they have run short of descriptors, the watch gives up too.
  PidfdExitWatch(std::size_t budget, const KeptOpenFiles& files) : budget_(budget), files_(files) {}

  bool watch(std::uint32_t pid) override;
  void forget(std::uint32_t pid) override;
  void collectLost(std::vector<std::uint32_t>& lost) override;

  /// Pidfds held now.
  std::size_t watchedCount() const { return pidfds_.size(); }
  /// False once descriptors ran short: nothing is watched from then on.
  bool active() const { return !gaveUp_; }

 private:
  void giveUp();
  /// Gives up when the kept files have run short since the last call.
  void followShortage();

  std::size_t budget_;
  const KeptOpenFiles& files_;
  bool gaveUp_ = false;
  Descriptor epoll_;
  std::unordered_map<std::uint32_t, Descriptor> pidfds_;
  // Pids whose watch was given up, reported by the next collectLost().
  std::vector<std::uint32_t> givenUp_;
};

}  // namespace sidecar::procinfo
