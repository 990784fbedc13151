// Test-only declaration of a Darwin interface, written by this project from
// the facts of docs/darwin-facts.md; not Apple's header.
//
// The process status codes (pbi_status), macros as in the real header.
#ifndef SIDECAR_DARWIN_DOUBLE_SYS_PROC_H
#define SIDECAR_DARWIN_DOUBLE_SYS_PROC_H

#define SIDL 1
#define SRUN 2
#define SSLEEP 3
#define SSTOP 4
#define SZOMB 5

#endif
