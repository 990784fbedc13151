// The one error value of the output path: success, an operating-system error
// (with its errno), or a write that accepted zero bytes.
#pragma once

#include <string>

namespace sidecar::protocol {

class [[nodiscard]] IoStatus {
 public:
  enum class Kind { Ok, Os, WriteZero };

  static IoStatus ok() { return IoStatus(Kind::Ok, 0); }
  static IoStatus osError(int errnum) { return IoStatus(Kind::Os, errnum); }
  static IoStatus writeZero() { return IoStatus(Kind::WriteZero, 0); }

  bool isOk() const { return kind_ == Kind::Ok; }
  Kind kind() const { return kind_; }
  /// The errno of an Os error; 0 otherwise.
  int osErrorNumber() const { return errnum_; }

  /// Human-readable text: the error's kind and, for an operating-system
  /// error, its number and text ("broken pipe: Broken pipe (os error 32)");
  /// "failed to write the buffered data" for a zero-byte write.
  std::string describe() const;

 private:
  IoStatus(Kind kind, int errnum) : kind_(kind), errnum_(errnum) {}
  Kind kind_;
  int errnum_;
};

}  // namespace sidecar::protocol
