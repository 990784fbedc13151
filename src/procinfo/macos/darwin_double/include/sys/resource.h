// Test-only declaration of a Darwin interface, written by this project from
// the facts of docs/darwin-facts.md; not Apple's header.
//
// Extends the C library's <sys/resource.h> (included first, whole) with the
// Darwin resource-usage record that proc_pid_rusage fills. This folder is
// given to the compiler as a system include folder, so #include_next (an
// extension) draws no pedantic warning, exactly as in a real system header.
#ifndef SIDECAR_DARWIN_DOUBLE_SYS_RESOURCE_H
#define SIDECAR_DARWIN_DOUBLE_SYS_RESOURCE_H

#include_next <sys/resource.h>

#include <stddef.h>
#include <stdint.h>

#define RUSAGE_INFO_V2 2

typedef void* rusage_info_t;

struct rusage_info_v2 {
  uint8_t unused_uuid[16];
  uint64_t unused0[7];
  uint64_t ri_phys_footprint;  // what Activity Monitor's "Memory" shows
  uint64_t unused1[8];
  uint64_t ri_diskio_bytesread;
  uint64_t ri_diskio_byteswritten;
};

static_assert(sizeof(struct rusage_info_v2) == 160, "rusage_info_v2 is 160 bytes");
static_assert(offsetof(struct rusage_info_v2, ri_phys_footprint) == 72, "ri_phys_footprint at 72");
static_assert(offsetof(struct rusage_info_v2, ri_diskio_bytesread) == 144, "ri_diskio_bytesread at 144");
static_assert(offsetof(struct rusage_info_v2, ri_diskio_byteswritten) == 152, "ri_diskio_byteswritten at 152");

#endif
