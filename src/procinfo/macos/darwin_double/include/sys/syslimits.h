// Test-only declaration of a Darwin interface, written by this project from
// the facts of docs/darwin-facts.md; not Apple's header.
//
// ARG_MAX: the most bytes of arguments and environment an exec takes, and
// the largest buffer KERN_PROCARGS2 accepts (1 MiB on arm64 macOS).
#ifndef SIDECAR_DARWIN_DOUBLE_SYS_SYSLIMITS_H
#define SIDECAR_DARWIN_DOUBLE_SYS_SYSLIMITS_H

#define ARG_MAX (1024 * 1024)

#endif
