// Test-only declaration of a Darwin interface, written by this project from
// the facts of docs/darwin-facts.md; not Apple's header.
//
// host_processor_info: `*info` receives fresh memory of `*infoCount`
// integer_t values, which the caller releases with vm_deallocate.
#ifndef SIDECAR_DARWIN_DOUBLE_MACH_MACH_HOST_H
#define SIDECAR_DARWIN_DOUBLE_MACH_MACH_HOST_H

#include <mach/mach_types.h>

#ifdef __cplusplus
extern "C" {
#endif

kern_return_t host_processor_info(host_t host, processor_flavor_t flavor, natural_t* count,
                                  processor_info_array_t* info, mach_msg_type_number_t* infoCount);

#ifdef __cplusplus
}
#endif

#endif
