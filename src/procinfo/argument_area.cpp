#include "procinfo/argument_area.h"

#include <cstdint>
#include <cstring>

#include "procinfo/argument_collector.h"

namespace sidecar::procinfo {

std::string_view lastPathComponent(std::string_view path) {
  // Walk back over the components, skipping the empty ones (repeated or
  // trailing '/') and "." ones; the first other component decides.
  std::size_t end = path.size();
  while (end > 0) {
    const std::size_t slash = path.rfind('/', end - 1);
    const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
    const std::string_view component = path.substr(begin, end - begin);
    if (component == "..") return {};
    if (!component.empty() && component != ".") return component;
    if (slash == std::string_view::npos) break;
    end = slash;
  }
  return {};
}

namespace {

// Replaces `arguments` by the strings of `bytes` from `pos`, each ending at a
// NUL or at the end, at most `limit` of them, empty ones left out, keeping
// only what the command text can use (argument_collector.h).
void takeStrings(std::string_view bytes, std::size_t pos, std::size_t limit,
                 std::vector<std::string>& arguments) {
  ArgumentCollector collector(arguments, limit);
  if (pos < bytes.size()) collector.take(bytes.substr(pos));
  collector.finish();
}

}  // namespace

bool parseArgumentArea(std::string_view area, bool wantName, bool wantArguments, std::string& name,
                       std::vector<std::string>& arguments) {
  if (area.size() < sizeof(std::int32_t)) return false;
  std::int32_t count = 0;
  std::memcpy(&count, area.data(), sizeof count);
  std::size_t pos = sizeof count;
  std::size_t pathEnd = area.find('\0', pos);
  if (pathEnd == std::string_view::npos) pathEnd = area.size();
  if (wantName) name.assign(lastPathComponent(area.substr(pos, pathEnd - pos)));
  if (wantArguments) {
    // The path's NUL is padded with NULs up to a multiple of 8 counted from
    // the end of the count, where the arguments start. Only that padding is
    // skipped: an empty first argument is a NUL right there, and skipping it
    // too would take an environment string for an argument.
    const std::size_t pathBytes = pathEnd + 1 - sizeof count;
    const std::size_t argumentsStart = sizeof count + (pathBytes + 7) / 8 * 8;
    pos = pathEnd;
    while (pos < argumentsStart && pos < area.size() && area[pos] == '\0') ++pos;
    takeStrings(area, pos, count < 1 ? 0 : static_cast<std::size_t>(count), arguments);
  }
  return true;
}

void splitNulSeparated(std::string_view bytes, std::vector<std::string>& arguments) {
  takeStrings(bytes, 0, bytes.size(), arguments);
}

}  // namespace sidecar::procinfo
