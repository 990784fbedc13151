// Test-only declaration of a Darwin interface, written by this project from
// the facts of docs/darwin-facts.md; not Apple's header.
//
// The absolute-time clock and its time base (nanoseconds per unit =
// numer / denom).
#ifndef SIDECAR_DARWIN_DOUBLE_MACH_MACH_TIME_H
#define SIDECAR_DARWIN_DOUBLE_MACH_MACH_TIME_H

#include <stdint.h>

#include <mach/mach_types.h>

struct mach_timebase_info {
  uint32_t numer;
  uint32_t denom;
};
typedef struct mach_timebase_info* mach_timebase_info_t;
typedef struct mach_timebase_info mach_timebase_info_data_t;

#ifdef __cplusplus
extern "C" {
#endif

kern_return_t mach_timebase_info(mach_timebase_info_t info);
uint64_t mach_absolute_time(void);

#ifdef __cplusplus
}
#endif

#endif
