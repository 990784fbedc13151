// A mutex, a scoped lock and a condition variable carrying the annotations of
// thread_annotations.h, so that clang can check which fields are touched
// without their lock. The standard library's std::mutex carries none in
// libstdc++. Each object is owned by whatever holds it (here: the state shared
// by the two ends of the command channel) and used from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "session/thread_annotations.h"

namespace sidecar::session {

class SIDECAR_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() SIDECAR_ACQUIRE() { mutex_.lock(); }
  void unlock() SIDECAR_RELEASE() { mutex_.unlock(); }
  /// Tells the analysis that the caller holds the lock (no run-time check).
  void assertHeld() SIDECAR_ASSERT_HELD(this) {}

 private:
  friend class CondVar;
  std::mutex mutex_;
};

/// Holds a Mutex for the lifetime of the scope.
class SIDECAR_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) SIDECAR_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() SIDECAR_RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

/// A condition variable. Every wait names the Mutex the caller holds, so
/// that the analysis can check it; use one Mutex per condition variable.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  /// Releases `mutex`, blocks until woken (or spuriously), takes it again.
  void wait(Mutex& mutex) SIDECAR_REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }

  /// Like wait(), but also returns once the steady clock reaches `deadline`.
  /// Returns false when it returned because the deadline passed.
  bool waitUntil(Mutex& mutex, std::chrono::steady_clock::time_point deadline) SIDECAR_REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    const bool woken = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return woken;
  }

  void signal() { cv_.notify_one(); }
  void signalAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace sidecar::session
