#include "procinfo/macos/thread_handles.h"

#include <libproc.h>
#include <sys/proc_info.h>

#include <algorithm>
#include <cstddef>

namespace sidecar::procinfo {

namespace {

constexpr std::size_t FIRST_ROOM = 8;
constexpr std::size_t MOST_ROOM = 16384;
constexpr std::size_t GROWTH = 4;
static_assert(FIRST_ROOM * sizeof(std::uint64_t) >= PROC_PIDLISTTHREADS_SIZE, "the kernel refuses a smaller buffer");

}  // namespace

bool listThreadHandles(int pid, std::vector<std::uint64_t>& handles) {
  std::size_t room = std::clamp(handles.capacity(), FIRST_ROOM, MOST_ROOM);
  for (;;) {
    handles.resize(room);
    const int bytes = proc_pidinfo(pid, PROC_PIDLISTTHREADS, 0, handles.data(),
                                   static_cast<int>(room * sizeof(std::uint64_t)));
    const std::size_t listed = bytes > 0 ? static_cast<std::size_t>(bytes) / sizeof(std::uint64_t) : 0;
    // A listing that fills its room may have left threads out. The first
    // handle is right either way (the kernel writes from the task's first
    // thread on), so at the limit the partial list stands.
    if (listed < room || room >= MOST_ROOM) {
      handles.resize(listed);
      return listed > 0;
    }
    room = std::min(room * GROWTH, MOST_ROOM);
  }
}

}  // namespace sidecar::procinfo
