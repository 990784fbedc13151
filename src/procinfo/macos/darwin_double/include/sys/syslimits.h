// Test-only declaration of a Darwin interface, written by this project from
// the facts of docs/darwin-facts.md; not Apple's header.
//
// ARG_MAX: the most bytes of arguments and environment an exec takes (1 MiB
// on every macOS target). KERN_PROCARGS2 accepts a buffer of at most
// ARG_MAX + 4 bytes (the argument count comes first); the area itself may be
// larger, since the executable path and the loader's strings are not
// charged to the exec limit.
#ifndef SIDECAR_DARWIN_DOUBLE_SYS_SYSLIMITS_H
#define SIDECAR_DARWIN_DOUBLE_SYS_SYSLIMITS_H

#define ARG_MAX (1024 * 1024)

#endif
