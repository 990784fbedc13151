#include "session/line_reader.h"

#include <cstring>

namespace sidecar::session {

LineReader::LineReader(InputSource& source)
    : source_(source), buffer_(std::make_unique<char[]>(INPUT_BUFFER_SIZE)) {}

LineReader::Result LineReader::next() {
  Result result;
  for (;;) {
    if (begin_ < end_) {
      const char* start = buffer_.get() + begin_;
      const std::size_t available = end_ - begin_;
      const void* feed = std::memchr(start, '\n', available);
      if (feed != nullptr) {
        const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(feed) - start) + 1;
        result.line.append(start, length);
        begin_ += length;
        result.status = Status::Line;
        return result;
      }
      result.line.append(start, available);
      begin_ = end_ = 0;
    }
    const ReadOutcome outcome = source_.read(buffer_.get(), INPUT_BUFFER_SIZE);
    if (outcome.errnum != 0) {
      return Result{Status::Error, std::string(), outcome.errnum};
    }
    if (outcome.count == 0) {
      result.status = result.line.empty() ? Status::End : Status::Line;
      return result;
    }
    begin_ = 0;
    end_ = outcome.count;
  }
}

}  // namespace sidecar::session
