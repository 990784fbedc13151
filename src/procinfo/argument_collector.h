// Takes a process's NUL-separated arguments as they are read, in pieces of
// any size, and keeps only what the reported command text can use.
//
// The command text is the non-empty arguments joined by single spaces and
// then cut to a fixed number of bytes (sampling/process_sample.h). Whatever
// lies beyond that cut never shows, so the collector stops once the joined
// arguments it kept reach COMMAND_LINE_KEPT_BYTES, cutting the last one
// there. Empty arguments take no room in the text, so the count of raw
// bytes is no measure of it: the joined length is. A process can therefore
// make the sidecar keep at most COMMAND_LINE_KEPT_BYTES of argument text
// (and one string per kept argument), whatever the size of its argument
// area; the readers bound the raw bytes they read separately.
//
// Pure; any thread.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace sidecar::procinfo {

/// Bytes of joined argument text kept per process: the 16384 bytes of the
/// command text and room for a character that crosses that limit, so that
/// the cut falls exactly where it would with every argument kept.
inline constexpr std::size_t COMMAND_LINE_KEPT_BYTES = 16384 + 8;

class ArgumentCollector {
 public:
  /// Collects into `arguments`, whose strings are reused; it is replaced by
  /// the kept arguments at finish(). At most `limit` strings (empty ones
  /// counted) are taken.
  explicit ArgumentCollector(std::vector<std::string>& arguments,
                             std::size_t limit = std::numeric_limits<std::size_t>::max())
      : arguments_(arguments), limit_(limit) {}

  /// Takes the next bytes of the area. Returns false once nothing more can
  /// change what is kept (the text is full, or `limit` strings were taken):
  /// the caller may stop reading.
  bool take(std::string_view bytes);

  /// Ends the area (a last string without its NUL counts) and trims
  /// `arguments` to the kept ones.
  void finish();

  /// Whether nothing more can change what is kept.
  bool done() const { return full_ || taken_ >= limit_; }

 private:
  std::vector<std::string>& arguments_;
  std::size_t limit_;
  std::size_t taken_ = 0;   // strings ended by their NUL, empty ones included
  std::size_t kept_ = 0;    // non-empty strings kept, an open one included
  std::size_t joined_ = 0;  // length of the kept strings joined by spaces
  bool open_ = false;       // the last kept string has not met its NUL yet
  bool full_ = false;
};

}  // namespace sidecar::procinfo
