// Test-only declaration of a Darwin interface, written by this project from
// the facts of docs/darwin-facts.md; not Apple's header.
//
// The process status codes (p_stat, pbi_status) and the two p_flag bits the
// backend reads, macros as in the real header.
#ifndef SIDECAR_DARWIN_DOUBLE_SYS_PROC_H
#define SIDECAR_DARWIN_DOUBLE_SYS_PROC_H

#define SIDL 1
#define SRUN 2
#define SSLEEP 3
#define SSTOP 4
#define SZOMB 5

// A debugger is attached: the parent reported is the tracer's pid, and
// p_oppid holds the real parent.
#define P_TRACED 0x00000800
// The process is exiting and not yet a zombie.
#define P_WEXIT 0x00002000

#endif
