#include "protocol/byte_sink.h"

#include <unistd.h>

#include <cerrno>

namespace sidecar::protocol {

WriteOutcome FdSink::write(const char* data, std::size_t size) {
  const ssize_t result = ::write(fd_, data, size);
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
