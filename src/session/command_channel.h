// The bounded first-in, first-out queue that carries decoded input lines from
// the reader thread to the main loop. It has one sending end (owned by the
// reader thread) and one receiving end (owned by the main loop); each is a
// move-only handle, and the shared queue lives as long as either handle.
// `send` blocks while the queue is full and fails once the receiving end is
// gone; `receiveWithTimeout` waits for an item, for the sending end to go, or
// for a timeout. Items are moved through the queue, never copied. Both ends
// may be used from different threads; the channel does its own locking.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "protocol/command.h"
#include "session/mutex.h"

namespace sidecar::session {

/// Number of items a command channel holds before `send` blocks.
inline constexpr std::size_t COMMAND_CHANNEL_CAPACITY = 64;

/// A line the reader could not turn into a command. The text becomes the
/// message of an invalid-command error; it starts with "invalid command: "
/// or "failed reading command stream: ".
struct ReaderFailure {
  std::string text;
  bool operator==(const ReaderFailure&) const = default;
};

/// One item of the command channel: a decoded command or a failure text.
using ReaderMessage = std::variant<protocol::Command, ReaderFailure>;

/// Outcome of `send`: success, or the item handed back because the
/// receiving end has been released.
template <typename T>
struct [[nodiscard]] SendResult {
  std::optional<T> returned;
  bool ok() const { return !returned.has_value(); }
};

/// Disconnected: the sending end was released. SenderFailed: it was
/// released by fail(), because the sender could not go on (its thread ran
/// out of memory); the run cannot end in order then.
enum class ReceiveStatus { Item, TimedOut, Disconnected, SenderFailed };

/// Outcome of `receiveWithTimeout`: `item` is set exactly when `status` is
/// Item.
template <typename T>
struct [[nodiscard]] ReceiveResult {
  ReceiveStatus status = ReceiveStatus::TimedOut;
  std::optional<T> item;
};

namespace detail {

/// The state both ends share. Every field but the capacity is guarded by
/// `mutex`.
template <typename T>
class ChannelState {
 public:
  explicit ChannelState(std::size_t capacity) : capacity_(capacity) {}

  SendResult<T> send(T item) SIDECAR_EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    while (receiverOpen_ && queue_.size() >= capacity_) {
      notFull_.wait(mutex_);
    }
    if (!receiverOpen_) {
      return SendResult<T>{std::move(item)};
    }
    queue_.push_back(std::move(item));
    notEmpty_.signal();
    return SendResult<T>{};
  }

  ReceiveResult<T> receive(std::optional<std::chrono::steady_clock::time_point> deadline)
      SIDECAR_EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    bool deadlinePassed = false;
    for (;;) {
      if (!queue_.empty()) {
        ReceiveResult<T> result{ReceiveStatus::Item, std::move(queue_.front())};
        queue_.pop_front();
        notFull_.signal();
        return result;
      }
      if (!senderOpen_) {
        return ReceiveResult<T>{senderFailed_ ? ReceiveStatus::SenderFailed : ReceiveStatus::Disconnected,
                                std::nullopt};
      }
      if (!deadline) {
        notEmpty_.wait(mutex_);
      } else if (deadlinePassed) {
        return ReceiveResult<T>{ReceiveStatus::TimedOut, std::nullopt};
      } else {
        deadlinePassed = !notEmpty_.waitUntil(mutex_, *deadline);
      }
    }
  }

  void closeSender(bool failed) SIDECAR_EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    senderOpen_ = false;
    senderFailed_ = failed;
    notEmpty_.signalAll();
  }

  void closeReceiver() SIDECAR_EXCLUDES(mutex_) {
    std::deque<T> discarded;
    {
      MutexLock lock(mutex_);
      receiverOpen_ = false;
      discarded.swap(queue_);
      notFull_.signalAll();
    }
    // The discarded items are destroyed here, outside the lock.
  }

 private:
  const std::size_t capacity_;
  Mutex mutex_;
  CondVar notEmpty_;
  CondVar notFull_;
  std::deque<T> queue_ SIDECAR_GUARDED_BY(mutex_);
  bool senderOpen_ SIDECAR_GUARDED_BY(mutex_) = true;
  bool senderFailed_ SIDECAR_GUARDED_BY(mutex_) = false;
  bool receiverOpen_ SIDECAR_GUARDED_BY(mutex_) = true;
};

/// The deadline now + timeout on the steady clock, or nothing when it
/// cannot be represented (the wait then has no deadline). A negative
/// timeout counts as zero.
std::optional<std::chrono::steady_clock::time_point> deadlineAfter(std::chrono::nanoseconds timeout);

}  // namespace detail

/// The sending end. Move-only; releasing it (destructor or release()) lets
/// the receiver see `disconnected` once the queue is drained.
template <typename T>
class Sender {
 public:
  Sender() = default;
  explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}
  Sender(Sender&&) noexcept = default;
  Sender& operator=(Sender&& other) noexcept {
    if (this != &other) {
      release();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;
  ~Sender() { release(); }

  /// Puts `item` at the tail of the queue, blocking while it is full. Fails,
  /// giving the item back, when the receiving end is released (also while
  /// blocked) or this end was released.
  SendResult<T> send(T item) {
    if (!state_) {
      return SendResult<T>{std::move(item)};
    }
    return state_->send(std::move(item));
  }

  /// Releases this end; idempotent.
  void release() {
    if (state_) {
      state_->closeSender(false);
      state_.reset();
    }
  }

  /// Releases this end as failed: once the queued items are taken, the
  /// receiver sees SenderFailed instead of Disconnected. Allocates nothing.
  void fail() {
    if (state_) {
      state_->closeSender(true);
      state_.reset();
    }
  }

 private:
  std::shared_ptr<detail::ChannelState<T>> state_;
};

/// The receiving end. Move-only; releasing it discards the queued items and
/// makes every pending and later `send` fail.
template <typename T>
class Receiver {
 public:
  Receiver() = default;
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      release();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() { release(); }

  /// The oldest queued item at once if there is one; otherwise waits until an
  /// item arrives, the sending end is released (Disconnected, or
  /// SenderFailed after fail()) or `timeout` has passed (TimedOut). Queued
  /// items always come before Disconnected and SenderFailed.
  /// A timeout whose deadline cannot be represented means no deadline.
  ReceiveResult<T> receiveWithTimeout(std::chrono::nanoseconds timeout) {
    if (!state_) {
      return ReceiveResult<T>{ReceiveStatus::Disconnected, std::nullopt};
    }
    return state_->receive(detail::deadlineAfter(timeout));
  }

  /// Releases this end; idempotent.
  void release() {
    if (state_) {
      state_->closeReceiver();
      state_.reset();
    }
  }

 private:
  std::shared_ptr<detail::ChannelState<T>> state_;
};

template <typename T>
struct Channel {
  Sender<T> sender;
  Receiver<T> receiver;
};

/// A new channel holding at most `capacity` items (at least one).
template <typename T>
Channel<T> makeChannel(std::size_t capacity) {
  auto state = std::make_shared<detail::ChannelState<T>>(capacity == 0 ? 1 : capacity);
  return Channel<T>{Sender<T>(state), Receiver<T>(state)};
}

using CommandSender = Sender<ReaderMessage>;
using CommandReceiver = Receiver<ReaderMessage>;
using CommandChannel = Channel<ReaderMessage>;

/// The channel between the reader thread and the main loop: capacity 64.
CommandChannel makeCommandChannel();

extern template class detail::ChannelState<ReaderMessage>;
extern template class Sender<ReaderMessage>;
extern template class Receiver<ReaderMessage>;

}  // namespace sidecar::session
