#include "procinfo/argument_collector.h"

#include <algorithm>

namespace sidecar::procinfo {

bool ArgumentCollector::take(std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size() && !done()) {
    std::size_t nul = bytes.find('\0', pos);
    if (nul == std::string_view::npos) nul = bytes.size();
    if (nul > pos) {
      if (!open_) {
        if (kept_ > 0) ++joined_;  // the space before it
        if (joined_ >= COMMAND_LINE_KEPT_BYTES) {
          full_ = true;
          break;
        }
        if (kept_ < arguments_.size()) {
          arguments_[kept_].clear();
        } else {
          arguments_.emplace_back();
        }
        ++kept_;
        open_ = true;
      }
      const std::string_view part = bytes.substr(pos, std::min(nul - pos, COMMAND_LINE_KEPT_BYTES - joined_));
      arguments_[kept_ - 1].append(part);
      joined_ += part.size();
      if (joined_ >= COMMAND_LINE_KEPT_BYTES) {
        full_ = true;
        break;
      }
    }
    if (nul < bytes.size()) {
      open_ = false;
      ++taken_;
    }
    pos = nul + 1;
  }
  return !done();
}

void ArgumentCollector::finish() {
  open_ = false;
  arguments_.resize(kept_);
}

}  // namespace sidecar::procinfo
