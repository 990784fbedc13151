#include "session/input_source.h"

#include <unistd.h>

#include <cerrno>

namespace sidecar::session {

ReadOutcome FdInputSource::read(char* buffer, std::size_t capacity) {
  for (;;) {
    const ssize_t got = ::read(fd_, buffer, capacity);
    if (got >= 0) {
      return ReadOutcome{static_cast<std::size_t>(got), 0};
    }
    if (errno != EINTR) {
      return ReadOutcome{0, errno};
    }
  }
}

}  // namespace sidecar::session
