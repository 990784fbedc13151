// Test-only declaration of a Darwin interface, written by this project from
// the facts of docs/darwin-facts.md; not Apple's header.
//
// The proc_pidinfo flavors and the three records the backend reads. Only the
// fields the backend uses are named; the rest is padding of ours that puts
// them at the facts' offsets and gives each record its size.
#ifndef SIDECAR_DARWIN_DOUBLE_SYS_PROC_INFO_H
#define SIDECAR_DARWIN_DOUBLE_SYS_PROC_INFO_H

#include <stddef.h>
#include <stdint.h>

#define PROC_PIDTBSDINFO 3
#define PROC_PIDTASKINFO 4
#define PROC_PIDTHREADINFO 5
#define PROC_PIDLISTTHREADS 6
#define PROC_PIDLISTTHREADS_SIZE 8

#define PROC_PIDPATHINFO_SIZE 1024
#define PROC_PIDPATHINFO_MAXSIZE 4096

// The real header defines the thread run states too (same values, so the
// two definitions agree).
#define TH_STATE_RUNNING 1
#define TH_STATE_STOPPED 2
#define TH_STATE_WAITING 3
#define TH_STATE_UNINTERRUPTIBLE 4
#define TH_STATE_HALTED 5

// Read only where the process table is refused (a sandbox): it refuses other
// users' processes to a caller that is not root.
struct proc_bsdinfo {
  uint32_t unused0;
  uint32_t pbi_status;  // SIDL..SZOMB
  uint32_t unused1[2];
  uint32_t pbi_ppid;
  uint32_t unused2[7];
  char pbi_comm[16];    // the short name, NUL-terminated only when shorter
  uint8_t unused3[56];
  uint64_t pbi_start_tvsec;
  uint64_t pbi_start_tvusec;
};

static_assert(sizeof(struct proc_bsdinfo) == 136, "proc_bsdinfo is 136 bytes");
static_assert(offsetof(struct proc_bsdinfo, pbi_status) == 4, "pbi_status at 4");
static_assert(offsetof(struct proc_bsdinfo, pbi_ppid) == 16, "pbi_ppid at 16");
static_assert(offsetof(struct proc_bsdinfo, pbi_comm) == 48, "pbi_comm at 48");
static_assert(offsetof(struct proc_bsdinfo, pbi_start_tvsec) == 120, "pbi_start_tvsec at 120");
static_assert(offsetof(struct proc_bsdinfo, pbi_start_tvusec) == 128, "pbi_start_tvusec at 128");

struct proc_taskinfo {
  uint64_t pti_virtual_size;   // bytes
  uint64_t pti_resident_size;  // bytes
  uint64_t pti_total_user;     // Mach absolute-time units
  uint64_t pti_total_system;   // Mach absolute-time units
  uint64_t unused[8];
};

static_assert(sizeof(struct proc_taskinfo) == 96, "proc_taskinfo is 96 bytes");
static_assert(offsetof(struct proc_taskinfo, pti_virtual_size) == 0, "pti_virtual_size at 0");
static_assert(offsetof(struct proc_taskinfo, pti_resident_size) == 8, "pti_resident_size at 8");
static_assert(offsetof(struct proc_taskinfo, pti_total_user) == 16, "pti_total_user at 16");
static_assert(offsetof(struct proc_taskinfo, pti_total_system) == 24, "pti_total_system at 24");

struct proc_threadinfo {
  uint64_t pth_user_time;    // nanoseconds
  uint64_t pth_system_time;  // nanoseconds
  int32_t unused0[2];
  int32_t pth_run_state;     // TH_STATE_*
  int32_t unused1[5];
  char unused_name[64];
};

static_assert(sizeof(struct proc_threadinfo) == 112, "proc_threadinfo is 112 bytes");
static_assert(offsetof(struct proc_threadinfo, pth_user_time) == 0, "pth_user_time at 0");
static_assert(offsetof(struct proc_threadinfo, pth_system_time) == 8, "pth_system_time at 8");
static_assert(offsetof(struct proc_threadinfo, pth_run_state) == 24, "pth_run_state at 24");
static_assert(offsetof(struct proc_threadinfo, unused_name) == 48, "the 64-byte name at the end");

#endif
