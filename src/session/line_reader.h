// Splits the bytes of an InputSource into lines. Lines have no length limit:
// each is returned in a fresh string that grows as far as the line goes. The
// reader batches reads through a fixed buffer. Owned and used by the reader
// thread only.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "session/input_source.h"

namespace sidecar::session {

/// Size of the buffer the line reader reads into.
inline constexpr std::size_t INPUT_BUFFER_SIZE = 64 * 1024;

class LineReader {
 public:
  enum class Status { Line, End, Error };
  struct Result {
    Status status = Status::End;
    /// The bytes of the line, its line feed included when it has one.
    std::string line;
    /// The errno of a failed read (Status::Error).
    int errnum = 0;
  };

  /// `source` must outlive the reader.
  explicit LineReader(InputSource& source);

  /// The next line: the bytes up to and including the next line feed, or up
  /// to the end of input for a last line without one. End once no byte is
  /// left; Error when a read fails (bytes of an unfinished line are dropped).
  Result next();

 private:
  InputSource& source_;
  std::unique_ptr<char[]> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace sidecar::session
