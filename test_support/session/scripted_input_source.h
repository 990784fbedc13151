// An InputSource for tests: hands out scripted chunks, one per read (cut to
// the caller's capacity), then an optional read error, then the end of
// input. Owned by the test; one thread.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "session/input_source.h"

namespace sidecar::session {

class ScriptedInputSource final : public InputSource {
 public:
  explicit ScriptedInputSource(std::vector<std::string> chunks, int errnumAtEnd = 0)
      : chunks_(std::move(chunks)), errnumAtEnd_(errnumAtEnd) {}

  ReadOutcome read(char* buffer, std::size_t capacity) override {
    ++reads_;
    if (next_ < chunks_.size()) {
      const std::string& chunk = chunks_[next_];
      const std::size_t count = std::min(capacity, chunk.size() - offset_);
      std::memcpy(buffer, chunk.data() + offset_, count);
      offset_ += count;
      if (offset_ == chunk.size()) {
        ++next_;
        offset_ = 0;
      }
      return ReadOutcome{count, 0};
    }
    return ReadOutcome{0, errnumAtEnd_};
  }

  /// Number of read calls so far.
  int reads() const { return reads_; }

 private:
  std::vector<std::string> chunks_;
  int errnumAtEnd_;
  std::size_t next_ = 0;
  std::size_t offset_ = 0;
  int reads_ = 0;
};

}  // namespace sidecar::session
