#include "protocol/io_status.h"

#include <cerrno>
#include <cstring>

namespace sidecar::protocol {
namespace {

// A short name for the kind of an operating-system error; the errno's own
// text follows it in the description.
const char* osErrorKind(int errnum) {
  switch (errnum) {
    case EPIPE:
      return "broken pipe";
    case EBADF:
      return "bad file descriptor";
    case EIO:
      return "input/output error";
    case ENOSPC:
      return "no space left";
    case EAGAIN:
      return "would block";
    case EINTR:
      return "interrupted";
    case EACCES:
    case EPERM:
      return "permission denied";
    case EISDIR:
      return "is a directory";
    case ENOMEM:
      return "out of memory";
    default:
      return "other error";
  }
}

// strerror_r comes in two shapes (GNU returns the text, XSI fills the
// buffer and returns 0); overloads pick whichever the C library declares.
[[maybe_unused]] const char* strerrorText(char* result, const char* /*buffer*/) { return result; }
[[maybe_unused]] const char* strerrorText(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}

}  // namespace

std::string IoStatus::describe() const {
  switch (kind_) {
    case Kind::Ok:
      return "success";
    case Kind::WriteZero:
      return "failed to write the buffered data";
    case Kind::Os:
      break;
  }
  char buffer[256] = {};
  const char* text = strerrorText(strerror_r(errnum_, buffer, sizeof buffer), buffer);
  std::string description = osErrorKind(errnum_);
  description += ": ";
  description += text;
  description += " (os error ";
  description += std::to_string(errnum_);
  description += ')';
  return description;
}

}  // namespace sidecar::protocol
