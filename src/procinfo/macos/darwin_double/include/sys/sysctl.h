// Test-only declaration of a Darwin interface, written by this project from
// the facts of docs/darwin-facts.md; not Apple's header.
// (glibc has no <sys/sysctl.h> since 2.32; this one replaces any older one.)
//
// sysctl and the name of the argument area. Includes <sys/proc.h>, so the
// status macros are visible wherever this is, as with the real header.
#ifndef SIDECAR_DARWIN_DOUBLE_SYS_SYSCTL_H
#define SIDECAR_DARWIN_DOUBLE_SYS_SYSCTL_H

#include <stddef.h>
#include <sys/proc.h>
#include <sys/types.h>

#define CTL_KERN 1
#define KERN_PROCARGS2 49

#ifdef __cplusplus
extern "C" {
#endif

int sysctl(int* name, u_int namelen, void* oldp, size_t* oldlenp, void* newp, size_t newlen);

#ifdef __cplusplus
}
#endif

#endif
