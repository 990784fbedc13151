// Test-only declaration of a Darwin interface, written by this project from
// the facts of docs/darwin-facts.md; not Apple's header.
// (glibc has no <sys/sysctl.h> since 2.32; this one replaces any older one.)
//
// sysctl and sysctlbyname, the names of the argument area and of the
// process table, and the process-table record (struct kinfo_proc). Only the fields the backend and
// the double use are named; the rest is padding of ours that puts them at
// the facts' offsets and gives each record its size. As in the real header,
// the status macros of <sys/proc.h> are visible wherever this is.
#ifndef SIDECAR_DARWIN_DOUBLE_SYS_SYSCTL_H
#define SIDECAR_DARWIN_DOUBLE_SYS_SYSCTL_H

#include <stddef.h>
#include <sys/proc.h>
#include <sys/types.h>

#include <stdint.h>

#define CTL_KERN 1
#define KERN_PROC 14
#define KERN_PROCARGS2 49
#define KERN_PROC_ALL 0
#define KERN_PROC_PID 1

// The layout of the real struct timeval: seconds as 8 bytes, microseconds as
// 4 (glibc's own struct timeval differs, so this one has a name of ours).
struct darwin_double_timeval {
  int64_t tv_sec;
  int32_t tv_usec;
  int32_t unused;
};

struct extern_proc {
  struct darwin_double_timeval p_starttime;
  uint8_t unused0[16];
  int32_t p_flag;
  char p_stat;  // SIDL..SZOMB
  char unused1[3];
  int32_t p_pid;
  pid_t p_oppid;  // the real parent while P_TRACED is set
  uint8_t unused2[195];
  char p_comm[17];  // the short name, at most 16 bytes and a NUL
  uint8_t unused3[36];
};

struct eproc {
  uint8_t unused0[96];
  uint32_t p_ruid;  // e_pcred.p_ruid in the real record
  uint8_t unused1[24];
  uint32_t cr_uid;  // e_ucred.cr_uid in the real record
  uint8_t unused2[136];
  int32_t e_ppid;
  uint8_t unused3[84];
};

struct kinfo_proc {
  struct extern_proc kp_proc;
  struct eproc kp_eproc;
};

static_assert(sizeof(struct kinfo_proc) == 648, "kinfo_proc is 648 bytes");
static_assert(offsetof(struct kinfo_proc, kp_proc.p_starttime.tv_sec) == 0, "p_starttime seconds at 0");
static_assert(offsetof(struct kinfo_proc, kp_proc.p_starttime.tv_usec) == 8, "p_starttime microseconds at 8");
static_assert(offsetof(struct kinfo_proc, kp_proc.p_flag) == 32, "p_flag at 32");
static_assert(offsetof(struct kinfo_proc, kp_proc.p_stat) == 36, "p_stat at 36");
static_assert(offsetof(struct kinfo_proc, kp_proc.p_pid) == 40, "p_pid at 40");
static_assert(offsetof(struct kinfo_proc, kp_proc.p_oppid) == 44, "p_oppid at 44");
static_assert(offsetof(struct kinfo_proc, kp_proc.p_comm) == 243, "p_comm at 243");
static_assert(offsetof(struct kinfo_proc, kp_eproc) == 296, "kp_eproc at 296");
static_assert(offsetof(struct kinfo_proc, kp_eproc.p_ruid) == 392, "e_pcred.p_ruid at 392");
static_assert(offsetof(struct kinfo_proc, kp_eproc.cr_uid) == 420, "e_ucred.cr_uid at 420");
static_assert(offsetof(struct kinfo_proc, kp_eproc.e_ppid) == 560, "e_ppid at 560");

#ifdef __cplusplus
extern "C" {
#endif

int sysctl(int* name, u_int namelen, void* oldp, size_t* oldlenp, void* newp, size_t newlen);
int sysctlbyname(const char* name, void* oldp, size_t* oldlenp, void* newp, size_t newlen);

#ifdef __cplusplus
}
#endif

#endif
