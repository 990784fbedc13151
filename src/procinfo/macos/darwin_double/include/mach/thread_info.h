// Test-only declaration of a Darwin interface, written by this project from
// the facts of docs/darwin-facts.md (names, values, types,
// sizes and offsets); not Apple's header. See ../darwin_double.h.
//
// The thread run states (pth_run_state). As in the real header they are
// macros, so that a project identifier of the same name fails to compile
// here as it would on a Mac.
#ifndef SIDECAR_DARWIN_DOUBLE_MACH_THREAD_INFO_H
#define SIDECAR_DARWIN_DOUBLE_MACH_THREAD_INFO_H

#define TH_STATE_RUNNING 1
#define TH_STATE_STOPPED 2
#define TH_STATE_WAITING 3
#define TH_STATE_UNINTERRUPTIBLE 4
#define TH_STATE_HALTED 5

#endif
