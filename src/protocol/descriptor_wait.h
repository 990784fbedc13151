// Waiting for a descriptor that is in non-blocking mode. The flag belongs to
// the open file, not to this process, so a parent or a terminal that set it
// on a shared standard stream hands it down; a read or write then fails with
// EAGAIN instead of blocking. Both standard streams wait here for readiness
// and try again, so that they behave as blocking streams whatever the flag.
#pragma once

namespace sidecar::protocol {

/// True for the errno values that mean "not ready yet" on a non-blocking
/// descriptor.
bool wouldBlock(int errnum);

/// Blocks until `fd` is ready for `events` (POLLIN or POLLOUT), has an error
/// or hang-up pending, or is not open any more; the next read or write then
/// reports which. Retries a poll interrupted by a signal. Returns 0, or the
/// errno of a failed poll.
int waitUntilReady(int fd, short events);

}  // namespace sidecar::protocol
