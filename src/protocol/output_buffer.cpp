#include "protocol/output_buffer.h"

#include <cerrno>

namespace sidecar::protocol {

IoStatus OutputBuffer::writeAll(const char* data, std::size_t size, std::size_t& written) {
  written = 0;
  while (written < size) {
    const WriteOutcome outcome = sink_.write(data + written, size - written);
    written += outcome.written;
    if (outcome.errnum == EINTR) {
      continue;
    }
    if (outcome.errnum != 0) {
      return IoStatus::osError(outcome.errnum);
    }
    if (outcome.written == 0) {
      return IoStatus::writeZero();
    }
  }
  return IoStatus::ok();
}

void OutputBuffer::fail(IoStatus status) {
  status_ = status;
  limit_ = end_;
}

IoStatus OutputBuffer::writeOut() {
  if (!status_.isOk()) {
    return status_;
  }
  std::size_t written = 0;
  const IoStatus status = writeAll(bytes_.data() + begin_, end_ - begin_, written);
  begin_ += written;
  if (!status.isOk()) {
    fail(status);
    return status;
  }
  begin_ = 0;
  end_ = 0;
  return status;
}

IoStatus OutputBuffer::retryWriteOut() {
  status_ = IoStatus::ok();
  limit_ = CAPACITY;
  return writeOut();
}

void OutputBuffer::appendSlow(const char* data, std::size_t size) {
  if (!status_.isOk()) {
    return;
  }
  if (!writeOut().isOk()) {
    return;
  }
  if (size <= CAPACITY) {
    std::memcpy(bytes_.data(), data, size);
    end_ = size;
    return;
  }
  std::size_t written = 0;
  const IoStatus status = writeAll(data, size, written);
  if (!status.isOk()) {
    fail(status);
  }
}

}  // namespace sidecar::protocol
