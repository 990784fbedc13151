// The Mach calls of the Darwin declarations in include/ (host and task
// ports, processor counters, virtual memory, absolute time), answered from
// the double's Kernel (see darwin_double.h).
#include <mach/mach.h>
#include <mach/mach_time.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "procinfo/macos/darwin_double/darwin_double.h"

namespace dd = sidecar::darwin_double;
using dd::HOST_PORT;
using dd::TASK_PORT;

namespace {

constexpr std::size_t PAGE = 16384;  // Apple silicon's page

}  // namespace

mach_port_t mach_task_self_ = TASK_PORT;

extern "C" host_t mach_host_self(void) {
  ++dd::kernel().hostPortsHandedOut;
  return HOST_PORT;
}

extern "C" kern_return_t mach_port_deallocate(ipc_space_t task, mach_port_name_t name) {
  dd::Kernel& k = dd::kernel();
  if (task != TASK_PORT || name != HOST_PORT || k.hostPortsReleased >= k.hostPortsHandedOut) {
    k.misuse.push_back("mach_port_deallocate of port " + std::to_string(name) + " not held");
    return KERN_INVALID_RIGHT;
  }
  ++k.hostPortsReleased;
  return KERN_SUCCESS;
}

extern "C" kern_return_t host_processor_info(host_t host, processor_flavor_t flavor, natural_t* count,
                                             processor_info_array_t* info, mach_msg_type_number_t* infoCount) {
  dd::Kernel& k = dd::kernel();
  ++k.calls.processorInfo;
  if (host != HOST_PORT || k.hostPortsReleased >= k.hostPortsHandedOut || flavor != PROCESSOR_CPU_LOAD_INFO ||
      count == nullptr || info == nullptr || infoCount == nullptr) {
    k.misuse.push_back("host_processor_info without the host port or with another flavor");
    return KERN_INVALID_ARGUMENT;
  }
  if (k.processorInfoResult != KERN_SUCCESS) return k.processorInfoResult;
  const std::size_t values = k.processors.size() * CPU_STATE_MAX;
  const std::size_t bytes = values * sizeof(integer_t);
  const std::size_t pages = (std::max<std::size_t>(bytes, 1) + PAGE - 1) / PAGE;
  auto* array = static_cast<integer_t*>(std::aligned_alloc(PAGE, pages * PAGE));
  for (std::size_t p = 0; p < k.processors.size(); ++p) {
    std::memcpy(array + p * CPU_STATE_MAX, k.processors[p].data(), sizeof(struct processor_cpu_load_info));
  }
  k.liveArrays[reinterpret_cast<std::uintptr_t>(array)] = bytes;
  ++k.arraysHandedOut;
  *count = static_cast<natural_t>(k.processors.size());
  *info = array;
  *infoCount = static_cast<mach_msg_type_number_t>(values);
  return KERN_SUCCESS;
}

extern "C" kern_return_t vm_deallocate(vm_map_t target, vm_address_t address, vm_size_t size) {
  dd::Kernel& k = dd::kernel();
  const auto live = k.liveArrays.find(address);
  if (target != TASK_PORT || live == k.liveArrays.end()) {
    k.misuse.push_back("vm_deallocate of memory not handed out, or released before");
    return KERN_INVALID_ADDRESS;
  }
  if (size != live->second) {
    k.misuse.push_back("vm_deallocate of " + std::to_string(size) + " bytes, " + std::to_string(live->second) +
               " handed out");
  }
  std::free(reinterpret_cast<void*>(address));
  k.liveArrays.erase(live);
  ++k.arraysReleased;
  return KERN_SUCCESS;
}

extern "C" kern_return_t mach_timebase_info(mach_timebase_info_t info) {
  const dd::Kernel& k = dd::kernel();
  if (!k.timebase) return KERN_FAILURE;
  *info = *k.timebase;
  return KERN_SUCCESS;
}

extern "C" uint64_t mach_absolute_time(void) { return dd::kernel().absoluteTime; }
