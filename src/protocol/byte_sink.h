// Where the bytes of the output go: standard output in the program, memory in
// tests. The MessageWriter is the only user.
#pragma once

#include <cstddef>
#include <string>

#include "protocol/io_status.h"

namespace sidecar::protocol {

/// Outcome of one write call: bytes accepted, or the errno that stopped it.
struct WriteOutcome {
  std::size_t written = 0;
  int errnum = 0;  ///< 0 on success; EINTR, EPIPE, ... otherwise
};

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  /// One write attempt, like write(2): may accept fewer bytes than given.
  virtual WriteOutcome write(const char* data, std::size_t size) = 0;
  /// Pushes out anything held below this sink.
  virtual IoStatus flush() = 0;
};

/// A sink on a file descriptor (standard output in the program). A closed
/// descriptor (EBADF) counts as a successful write whose bytes are dropped.
/// A descriptor in non-blocking mode is waited for (poll) until it takes
/// bytes, so a write blocks as on a blocking descriptor and a line is never
/// left half written because the reader paused.
class FdSink final : public ByteSink {
 public:
  explicit FdSink(int fd) : fd_(fd) {}
  WriteOutcome write(const char* data, std::size_t size) override;
  IoStatus flush() override;

 private:
  int fd_;
};

/// A sink that keeps everything in memory, for tests. `failWith` makes every
/// later write fail with that errno (0 turns failing off).
class MemorySink final : public ByteSink {
 public:
  WriteOutcome write(const char* data, std::size_t size) override;
  IoStatus flush() override { return IoStatus::ok(); }

  const std::string& bytes() const { return bytes_; }
  void clear() { bytes_.clear(); }
  void failWith(int errnum) { failErrno_ = errnum; }

 private:
  std::string bytes_;
  int failErrno_ = 0;
};

}  // namespace sidecar::protocol
