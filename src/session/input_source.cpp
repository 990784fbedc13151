#include "session/input_source.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "protocol/descriptor_wait.h"

namespace sidecar::session {

ReadOutcome FdInputSource::read(char* buffer, std::size_t capacity) {
  for (;;) {
    const ssize_t got = ::read(fd_, buffer, capacity);
    if (got >= 0) {
      return ReadOutcome{static_cast<std::size_t>(got), 0};
    }
    const int errnum = errno;
    if (protocol::wouldBlock(errnum)) {
      // Non-blocking standard input: wait for bytes instead of failing.
      const int waitErrno = protocol::waitUntilReady(fd_, POLLIN);
      if (waitErrno != 0) {
        return ReadOutcome{0, waitErrno};
      }
    } else if (errnum != EINTR) {
      return ReadOutcome{0, errnum};
    }
  }
}

}  // namespace sidecar::session
