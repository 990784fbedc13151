#include "protocol/message_writer.h"

#include "protocol/json_writer.h"

namespace sidecar::protocol {

static_assert(MessageWriter::BUFFER_SIZE == OutputBuffer::CAPACITY);

MessageWriter::MessageWriter(ByteSink& sink) : sink_(sink), buffer_(sink) {}

MessageWriter::~MessageWriter() { close(); }

IoStatus MessageWriter::writeMessage(const OutgoingMessage& message) {
  // After a failure the output is broken; nothing more is attempted.
  if (IoStatus status = buffer_.status(); !status.isOk()) {
    return status;
  }
  JsonWriter json(buffer_);
  encodeMessage(json, message);
  if (IoStatus status = buffer_.writeOut(); !status.isOk()) {
    return status;
  }
  return sink_.flush();
}

void MessageWriter::close() {
  if (closed_) {
    return;
  }
  closed_ = true;
  // Whatever a failed message left behind gets one more chance; the outcome
  // cannot change anything any more.
  (void)buffer_.retryWriteOut();
}

}  // namespace sidecar::protocol
