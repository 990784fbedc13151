// Test-only declaration of a Darwin interface, written by this project from
// the facts of docs/darwin-facts.md; not Apple's header.
//
// The Mach scalar and port types, the result codes, and (as the real header
// does) the processor and thread information headers.
#ifndef SIDECAR_DARWIN_DOUBLE_MACH_MACH_TYPES_H
#define SIDECAR_DARWIN_DOUBLE_MACH_MACH_TYPES_H

#include <stdint.h>

typedef unsigned int natural_t;
typedef int integer_t;
typedef int kern_return_t;
typedef natural_t mach_msg_type_number_t;
typedef natural_t mach_port_name_t;
typedef natural_t mach_port_t;
typedef mach_port_t host_t;
typedef mach_port_t ipc_space_t;
typedef mach_port_t vm_map_t;
typedef uintptr_t vm_offset_t;
typedef vm_offset_t vm_address_t;
typedef uintptr_t vm_size_t;

static_assert(sizeof(natural_t) == 4, "natural_t is 4 bytes");
static_assert(sizeof(integer_t) == 4, "integer_t is 4 bytes");
static_assert(sizeof(mach_msg_type_number_t) == 4, "mach_msg_type_number_t is 4 bytes");
static_assert(sizeof(host_t) == 4, "host_t is 4 bytes");
static_assert(sizeof(kern_return_t) == 4, "kern_return_t is 4 bytes");

#define KERN_SUCCESS 0
#define KERN_INVALID_ADDRESS 1
#define KERN_INVALID_ARGUMENT 4
#define KERN_FAILURE 5
#define KERN_INVALID_RIGHT 17

#define MACH_PORT_NULL 0

#include <mach/processor_info.h>
#include <mach/thread_info.h>

#endif
