// Name and argument parsing shared by every backend: the last component of
// an executable path, and the layout of a macOS KERN_PROCARGS2 argument area.
// Pure functions on bytes; any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sidecar::procinfo {

/// The last component of `path`: repeated '/' count as one, and trailing '/'
/// and "." components are ignored. Empty when there is no such component
/// (the path is empty, "/" or ".", or it ends in a ".." component).
/// The result points into `path`.
std::string_view lastPathComponent(std::string_view path);

/// Parses an argument area: a 32-bit signed argument count (host byte
/// order), the executable path up to its NUL (or the end), NUL padding up
/// to a multiple of 8 bytes counted from offset 4 (never further), the
/// arguments each up to its NUL (or the end), then the environment, which is
/// never read.
///   - An area shorter than 4 bytes is unreadable: returns false and touches
///     nothing.
///   - wantName: `name` becomes the path's last component (possibly empty).
///   - wantArguments: `arguments` is replaced by at most `count` arguments,
///     empty ones left out; a count below 1 gives none; taking stops at the
///     end of the area, and once the joined arguments are long enough for
///     the command text (ArgumentCollector).
/// Returns true otherwise.
bool parseArgumentArea(std::string_view area, bool wantName, bool wantArguments, std::string& name,
                       std::vector<std::string>& arguments);

/// Replaces `arguments` by the NUL-separated strings of `bytes` (Linux
/// /proc/PID/cmdline), empty ones left out; a last string without its NUL
/// counts too. Stops like parseArgumentArea once the text is full.
void splitNulSeparated(std::string_view bytes, std::vector<std::string>& arguments);

}  // namespace sidecar::procinfo
