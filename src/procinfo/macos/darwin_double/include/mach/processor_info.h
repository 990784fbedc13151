// Test-only declaration of a Darwin interface, written by this project from
// the facts of docs/darwin-facts.md; not Apple's header.
//
// The per-processor load counters of host_processor_info.
#ifndef SIDECAR_DARWIN_DOUBLE_MACH_PROCESSOR_INFO_H
#define SIDECAR_DARWIN_DOUBLE_MACH_PROCESSOR_INFO_H

#include <stddef.h>

#include <mach/mach_types.h>

#define PROCESSOR_CPU_LOAD_INFO 2

#define CPU_STATE_USER 0
#define CPU_STATE_SYSTEM 1
#define CPU_STATE_IDLE 2
#define CPU_STATE_NICE 3
#define CPU_STATE_MAX 4

typedef int processor_flavor_t;
typedef integer_t* processor_info_t;
typedef integer_t* processor_info_array_t;

struct processor_cpu_load_info {
  unsigned int cpu_ticks[CPU_STATE_MAX];
};

static_assert(sizeof(struct processor_cpu_load_info) == 16, "processor_cpu_load_info is 16 bytes");
static_assert(offsetof(struct processor_cpu_load_info, cpu_ticks) == 0, "cpu_ticks at 0");
static_assert(sizeof(processor_info_array_t) == sizeof(void*), "processor_info_array_t is a pointer");

#endif
