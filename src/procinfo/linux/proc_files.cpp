#include "procinfo/linux/proc_files.h"

#include <string.h>

#include <charconv>

namespace sidecar::procinfo {

namespace {

// Reads whitespace-separated unsigned numbers from a line, in order.
class Fields {
 public:
  explicit Fields(std::string_view text) : text_(text) {}

  void skip(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) next();
  }
  std::string_view next() {
    skipSeparators();
    const std::size_t begin = pos_;
    while (pos_ < text_.size() && !isSeparator(text_[pos_]) && text_[pos_] != '\n') ++pos_;
    return text_.substr(begin, pos_ - begin);
  }
  /// The next field as a number; sets failed() when it is not one. A
  /// negative number (some kernels print -1 for unknown values) reads as 0.
  std::uint64_t number() {
    skipSeparators();
    const bool negative = pos_ < text_.size() && text_[pos_] == '-';
    if (negative) ++pos_;
    const char* begin = text_.data() + pos_;
    const char* end = text_.data() + text_.size();
    std::uint64_t value = 0;
    const auto [last, error] = std::from_chars(begin, end, value);
    pos_ = static_cast<std::size_t>(last - text_.data());
    if (error != std::errc() || last == begin || (last != end && !isSeparator(*last) && *last != '\n')) {
      failed_ = true;
      next();  // the rest of the field
    }
    return negative ? 0 : value;
  }
  bool failed() const { return failed_; }

 private:
  static bool isSeparator(char c) { return c == ' ' || c == '\t'; }
  void skipSeparators() {
    while (pos_ < text_.size() && isSeparator(text_[pos_])) ++pos_;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  bool failed_ = false;
};

std::uint64_t valueAfter(std::string_view text, std::string_view key, bool& found) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(pos, end - pos);
    if (line.size() > key.size() && line.substr(0, key.size()) == key) {
      Fields fields(line.substr(key.size()));
      const std::uint64_t value = fields.number();
      found = !fields.failed();
      return value;
    }
    pos = end + 1;
  }
  found = false;
  return 0;
}

}  // namespace

std::optional<ProcStat> parseProcStat(std::string_view text) {
  const std::size_t open = text.find('(');
  // The name may hold ')': it ends at the last one. memrchr, since the rest
  // of the line is long and the search runs for every process.
  const void* last = text.empty() ? nullptr : memrchr(text.data(), ')', text.size());
  if (open == std::string_view::npos || last == nullptr) return std::nullopt;
  const auto close = static_cast<std::size_t>(static_cast<const char*>(last) - text.data());
  if (close < open) return std::nullopt;
  ProcStat stat;
  stat.comm = text.substr(open + 1, close - open - 1);
  Fields fields(text.substr(close + 1));
  const std::string_view state = fields.next();
  if (state.size() != 1) return std::nullopt;
  stat.state = state[0];
  const std::uint64_t parent = fields.number();         // field 4
  fields.skip(9);                                       // pgrp .. cmajflt
  stat.userTicks = fields.number();                     // 14
  stat.systemTicks = fields.number();                   // 15
  fields.skip(4);                                       // cutime .. nice
  stat.threadCount = fields.number();                   // 20
  fields.skip(1);                                       // itrealvalue
  stat.startTicks = fields.number();                    // 22
  stat.virtualBytes = fields.number();                  // 23
  stat.residentPages = fields.number();                 // 24
  if (fields.failed() || parent > UINT32_MAX) return std::nullopt;
  stat.parentPid = static_cast<std::uint32_t>(parent);
  return stat;
}

std::optional<DiskCounters> parseProcIo(std::string_view text) {
  bool readFound = false;
  bool writeFound = false;
  DiskCounters counters;
  counters.bytesRead = valueAfter(text, "read_bytes:", readFound);
  counters.bytesWritten = valueAfter(text, "write_bytes:", writeFound);
  if (!readFound || !writeFound) return std::nullopt;
  return counters;
}

bool parseProcessorLines(std::string_view text, std::vector<ProcessorTicks>& ticks) {
  ticks.clear();
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.size() < 4 || line.substr(0, 3) != "cpu" || line[3] < '0' || line[3] > '9') {
      // The processor lines come first, after the "cpu" total: stop at the
      // first other line once they have begun.
      if (!ticks.empty()) break;
      continue;
    }
    Fields fields(line);
    const std::string_view name = fields.next();  // "cpuN"
    std::uint32_t number = 0;
    const char* const nameEnd = name.data() + name.size();
    const auto [numberEnd, numberError] = std::from_chars(name.data() + 3, nameEnd, number);
    const std::uint64_t user = fields.number();
    const std::uint64_t nice = fields.number();
    const std::uint64_t system = fields.number();
    const std::uint64_t idle = fields.number();
    if (fields.failed() || numberError != std::errc() || numberEnd != nameEnd) {
      ticks.clear();
      return false;
    }
    // Older kernels stop after idle; a missing field counts as 0.
    std::uint64_t rest[4] = {0, 0, 0, 0};  // iowait, irq, softirq, steal
    for (std::uint64_t& value : rest) {
      if (fields.failed()) break;
      value = fields.number();
    }
    ProcessorTicks processor;
    processor.user = static_cast<std::uint32_t>(user);
    processor.nice = static_cast<std::uint32_t>(nice);
    processor.system = static_cast<std::uint32_t>(system + rest[1] + rest[2] + rest[3]);
    processor.idle = static_cast<std::uint32_t>(idle + rest[0]);
    processor.number = number;
    ticks.push_back(processor);
  }
  return !ticks.empty();
}

std::optional<std::uint64_t> parseBootTime(std::string_view text) {
  bool found = false;
  const std::uint64_t value = valueAfter(text, "btime ", found);
  if (!found) return std::nullopt;
  return value;
}

std::string_view withoutDeletedSuffix(std::string_view target) {
  constexpr std::string_view suffix = " (deleted)";
  if (target.size() >= suffix.size() && target.substr(target.size() - suffix.size()) == suffix) {
    target.remove_suffix(suffix.size());
  }
  return target;
}

}  // namespace sidecar::procinfo
