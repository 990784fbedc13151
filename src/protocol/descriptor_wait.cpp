#include "protocol/descriptor_wait.h"

#include <poll.h>

#include <cerrno>

namespace sidecar::protocol {

bool wouldBlock(int errnum) { return errnum == EAGAIN || errnum == EWOULDBLOCK; }

int waitUntilReady(int fd, short events) {
  pollfd entry{fd, events, 0};
  for (;;) {
    if (::poll(&entry, 1, -1) >= 0) {
      return 0;
    }
    if (errno != EINTR) {
      return errno;
    }
  }
}

}  // namespace sidecar::protocol
