// The input stream the JSON reader pulls a command line from: a bounded view
// of the line's bytes that reads as 0 past the end (the reader's end-of-input
// mark) and tells the byte offset of its cursor, which the decoder uses for
// the positions of values and failures. Borrows the line; single thread.
#pragma once

#include <cstddef>
#include <string_view>

namespace sidecar::protocol {

class LineStream {
 public:
  using Ch = char;

  explicit LineStream(std::string_view text) : begin_(text.data()), cursor_(text.data()), end_(text.data() + text.size()) {}

  Ch Peek() const { return cursor_ != end_ ? *cursor_ : '\0'; }
  Ch Take() { return cursor_ != end_ ? *cursor_++ : '\0'; }
  std::size_t Tell() const { return static_cast<std::size_t>(cursor_ - begin_); }

  // The reader only writes into in-place streams, which this is not.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  std::size_t PutEnd(Ch*) { return 0; }

 private:
  const char* begin_;
  const char* cursor_;
  const char* end_;
};

}  // namespace sidecar::protocol
