// The batching buffer between the JSON encoder and a ByteSink: 8192 bytes
// that collect the small pieces of a message so that a line reaches the
// operating system in few writes. A piece that does not fit makes the
// buffered bytes go out first; a piece larger than the whole buffer goes out
// directly. The first failure is kept: later appends do nothing, and every
// later writeOut reports it. Owned by the MessageWriter; main thread only.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "protocol/byte_sink.h"
#include "protocol/io_status.h"

namespace sidecar::protocol {

class OutputBuffer {
 public:
  static constexpr std::size_t CAPACITY = 8192;

  /// The sink must outlive the buffer.
  explicit OutputBuffer(ByteSink& sink) : sink_(sink) {}
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;

  /// Appends bytes; passes buffered bytes on to the sink when they do not
  /// fit. Does nothing once a write has failed.
  void append(const char* data, std::size_t size) {
    if (size <= limit_ - end_) {
      std::memcpy(bytes_.data() + end_, data, size);
      end_ += size;
    } else {
      appendSlow(data, size);
    }
  }
  void append(std::string_view text) { append(text.data(), text.size()); }
  void append(char byte) {
    if (end_ < limit_) {
      bytes_[end_++] = byte;
    } else {
      appendSlow(&byte, 1);
    }
  }

  /// In-place room for up to `size` bytes: a pointer to the free part when
  /// that many bytes fit (and no write has failed), else nullptr. Whatever
  /// is written there counts once `commit` says how many bytes were used.
  char* tryReserve(std::size_t size) { return size <= limit_ - end_ ? bytes_.data() + end_ : nullptr; }
  void commit(std::size_t used) { end_ += used; }

  /// Writes every buffered byte to the sink. Returns the first failure met
  /// by this buffer, now or earlier; on failure the unwritten bytes stay.
  IoStatus writeOut();

  /// Forgets an earlier failure and tries once more to write out what is
  /// buffered (used when closing).
  IoStatus retryWriteOut();

  /// The first failure met so far, or ok.
  IoStatus status() const { return status_; }

  /// Number of bytes waiting to be written.
  std::size_t buffered() const { return end_ - begin_; }

 private:
  void appendSlow(const char* data, std::size_t size);
  /// Hands all of data to the sink, continuing partial writes and retrying
  /// interrupted ones. Returns how many bytes went out and the outcome.
  IoStatus writeAll(const char* data, std::size_t size, std::size_t& written);
  void fail(IoStatus status);

  ByteSink& sink_;
  IoStatus status_ = IoStatus::ok();
  std::size_t begin_ = 0;  ///< first byte not yet written
  std::size_t end_ = 0;    ///< one past the last buffered byte
  /// Where appending in place must stop: CAPACITY, or end_ after a failure
  /// so that every append goes through the slow path (and is dropped).
  std::size_t limit_ = CAPACITY;
  std::array<char, CAPACITY> bytes_;
};

}  // namespace sidecar::protocol
