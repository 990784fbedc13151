// Where the command reader's bytes come from: standard input in the program,
// scripted chunks in tests. Owned by the reader thread, which is its only
// user.
#pragma once

#include <cstddef>

namespace sidecar::session {

/// Outcome of one read: bytes delivered (0 = end of input), or the errno
/// that stopped it.
struct ReadOutcome {
  std::size_t count = 0;
  int errnum = 0;  ///< 0 on success
};

class InputSource {
 public:
  virtual ~InputSource() = default;
  /// One read attempt, like read(2): blocks until at least one byte, the end
  /// of input or an error.
  virtual ReadOutcome read(char* buffer, std::size_t capacity) = 0;
};

/// Reads a file descriptor with read(2), retrying reads interrupted by a
/// signal. A descriptor in non-blocking mode is waited for with poll, so a
/// read blocks as on a blocking descriptor. Does not own the descriptor.
class FdInputSource final : public InputSource {
 public:
  explicit FdInputSource(int fd) : fd_(fd) {}
  ReadOutcome read(char* buffer, std::size_t capacity) override;

 private:
  int fd_;
};

}  // namespace sidecar::session
