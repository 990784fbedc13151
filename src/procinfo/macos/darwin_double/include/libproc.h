// Test-only declaration of a Darwin interface, written by this project from
// the facts of docs/darwin-facts.md; not Apple's header.
//
// The libproc calls the backend makes. Results as on a Mac:
// proc_listallpids the number of pids written (0 on error; with no buffer
// the number of processes plus 20 spare); proc_pidinfo the bytes written (0
// on error); proc_pidpath the path's length (0 or less on error);
// proc_pid_rusage 0 or -1.
#ifndef SIDECAR_DARWIN_DOUBLE_LIBPROC_H
#define SIDECAR_DARWIN_DOUBLE_LIBPROC_H

#include <stdint.h>
#include <sys/proc_info.h>
#include <sys/resource.h>

#ifdef __cplusplus
extern "C" {
#endif

int proc_listallpids(void* buffer, int buffersize);
int proc_pidinfo(int pid, int flavor, uint64_t arg, void* buffer, int buffersize);
int proc_pidpath(int pid, void* buffer, uint32_t buffersize);
int proc_pid_rusage(int pid, int flavor, rusage_info_t* buffer);

#ifdef __cplusplus
}
#endif

#endif
