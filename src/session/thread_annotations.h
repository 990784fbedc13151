// Macros for clang's -Wthread-safety analysis: they name the mutex that
// guards a field and the locks a function needs or takes. Other compilers
// see empty macros. Used by the channel between the reader thread and the
// main loop, the one object the two threads share.
#pragma once

#if defined(__clang__)
#define SIDECAR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define SIDECAR_THREAD_ANNOTATION(x)
#endif

#define SIDECAR_CAPABILITY(name) SIDECAR_THREAD_ANNOTATION(capability(name))
#define SIDECAR_SCOPED_CAPABILITY SIDECAR_THREAD_ANNOTATION(scoped_lockable)
#define SIDECAR_GUARDED_BY(x) SIDECAR_THREAD_ANNOTATION(guarded_by(x))
#define SIDECAR_PT_GUARDED_BY(x) SIDECAR_THREAD_ANNOTATION(pt_guarded_by(x))
#define SIDECAR_REQUIRES(...) SIDECAR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define SIDECAR_ACQUIRE(...) SIDECAR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define SIDECAR_RELEASE(...) SIDECAR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define SIDECAR_EXCLUDES(...) SIDECAR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define SIDECAR_ASSERT_HELD(x) SIDECAR_THREAD_ANNOTATION(assert_capability(x))
