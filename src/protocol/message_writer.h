// The only way anything reaches standard output: each outgoing message
// becomes exactly one line, handed to the operating system and flushed
// before writeMessage returns. Main thread only.
#pragma once

#include <cstddef>

#include "protocol/byte_sink.h"
#include "protocol/io_status.h"
#include "protocol/outgoing_message.h"
#include "protocol/output_buffer.h"

namespace sidecar::protocol {

class MessageWriter {
 public:
  /// Size of the batching buffer; messages may be longer.
  static constexpr std::size_t BUFFER_SIZE = 8192;

  /// The sink must outlive the writer.
  explicit MessageWriter(ByteSink& sink);
  /// Closes (see close()).
  ~MessageWriter();
  MessageWriter(const MessageWriter&) = delete;
  MessageWriter& operator=(const MessageWriter&) = delete;

  /// Encodes the message as one line and writes and flushes it. Returns the
  /// first error met; the rest of the message is then not attempted.
  IoStatus writeMessage(const OutgoingMessage& message);

  /// Writes out whatever is still buffered, ignoring errors. Idempotent.
  void close();

 private:
  ByteSink& sink_;
  OutputBuffer buffer_;
  bool closed_ = false;
};

}  // namespace sidecar::protocol
