#include "procinfo/macos/thread_handles.h"

#include <libproc.h>
#include <sys/proc_info.h>

namespace sidecar::procinfo {

static_assert(sizeof(std::uint64_t) >= PROC_PIDLISTTHREADS_SIZE, "the kernel refuses a smaller buffer");

std::optional<std::uint64_t> firstThreadHandle(int pid) {
  std::uint64_t handle = 0;
  const int bytes = proc_pidinfo(pid, PROC_PIDLISTTHREADS, 0, &handle, static_cast<int>(sizeof handle));
  if (bytes != static_cast<int>(sizeof handle)) return std::nullopt;
  return handle;
}

}  // namespace sidecar::procinfo
