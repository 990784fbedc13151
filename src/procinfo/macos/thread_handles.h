// The threads of one macOS process, as PROC_PIDLISTTHREADS lists them: one
// 64-bit handle per thread (its user-space thread address), the task's first
// thread first. PROC_PIDTHREADINFO takes such a handle as its argument; it
// is not an index, so the thread query needs a handle first.
#pragma once

#include <cstdint>
#include <optional>

namespace sidecar::procinfo {

/// The handle of the first thread of process `pid`, from a listing with room
/// for that one handle (the smallest buffer the system accepts): the thread
/// query needs no other. Empty when the process has no thread or cannot be
/// read (gone, a zombie, another user's process).
std::optional<std::uint64_t> firstThreadHandle(int pid);

}  // namespace sidecar::procinfo
