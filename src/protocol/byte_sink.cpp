#include "protocol/byte_sink.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "protocol/descriptor_wait.h"

namespace sidecar::protocol {

WriteOutcome FdSink::write(const char* data, std::size_t size) {
  ssize_t result = ::write(fd_, data, size);
  // A descriptor in non-blocking mode: wait until the reader makes room
  // rather than give up in the middle of a line.
  while (result < 0 && wouldBlock(errno)) {
    const int waitErrno = waitUntilReady(fd_, POLLOUT);
    if (waitErrno != 0) {
      return WriteOutcome{0, waitErrno};
    }
    result = ::write(fd_, data, size);
  }
  if (result >= 0) {
    return WriteOutcome{static_cast<std::size_t>(result), 0};
  }
  const int errnum = errno;
  if (errnum == EBADF) {
    // The descriptor was closed under us: the output is discarded, and that
    // is not an error of the program.
    return WriteOutcome{size, 0};
  }
  return WriteOutcome{0, errnum};
}

IoStatus FdSink::flush() {
  // A raw descriptor holds nothing back: every write already reached the
  // operating system.
  return IoStatus::ok();
}

WriteOutcome MemorySink::write(const char* data, std::size_t size) {
  if (failErrno_ != 0) {
    return WriteOutcome{0, failErrno_};
  }
  bytes_.append(data, size);
  return WriteOutcome{size, 0};
}

}  // namespace sidecar::protocol
