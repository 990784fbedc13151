// The threads of one macOS process, as PROC_PIDLISTTHREADS lists them: one
// 64-bit handle per thread (its user-space thread address), the task's first
// thread first. PROC_PIDTHREADINFO takes such a handle as its argument; it
// is not an index, so the thread query needs this listing first.
#pragma once

#include <cstdint>
#include <vector>

namespace sidecar::procinfo {

/// Lists the thread handles of process `pid` into `handles` (its capacity is
/// reused). The listing starts with room for a few threads and, while a
/// listing fills all its room, lists again with more, up to 16384 handles.
/// Returns false, with `handles` empty, when the process has no thread or
/// cannot be read (gone, a zombie, another user's process).
bool listThreadHandles(int pid, std::vector<std::uint64_t>& handles);

}  // namespace sidecar::procinfo
