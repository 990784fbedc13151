// Test-only declaration of a Darwin interface, written by this project from
// the facts of docs/darwin-facts.md; not Apple's header.
//
// The Mach calls the backend makes: its own task and the host port, the
// release of a port right and of virtual memory, and (through the headers
// it includes, as the real one does) the types and host_processor_info.
#ifndef SIDECAR_DARWIN_DOUBLE_MACH_MACH_H
#define SIDECAR_DARWIN_DOUBLE_MACH_MACH_H

#include <mach/mach_host.h>
#include <mach/mach_types.h>

#ifdef __cplusplus
extern "C" {
#endif

// As in the real headers, mach_task_self() reads a variable.
extern mach_port_t mach_task_self_;
#define mach_task_self() mach_task_self_

host_t mach_host_self(void);
kern_return_t mach_port_deallocate(ipc_space_t task, mach_port_name_t name);
kern_return_t vm_deallocate(vm_map_t target, vm_address_t address, vm_size_t size);

#ifdef __cplusplus
}
#endif

#endif
