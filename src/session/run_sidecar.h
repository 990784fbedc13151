// Start-up and end of the sidecar process: prepares the standard
// descriptors, takes standard output, writes the greeting, starts the command
// reader thread, runs the main loop and turns its outcome into the exit
// status. Called once, by main, on the main thread.
#pragma once

namespace sidecar::session {

/// The sidecar's version, as the greeting and --version report it: the
/// project version that CMake passes in.
inline constexpr const char* SIDECAR_VERSION = SIDECAR_PROJECT_VERSION;

/// Process set-up done before anything else: SIGPIPE is ignored, so that a
/// write to a closed pipe fails with an error instead of killing the
/// process, and each of the descriptors 0, 1 and 2 that is closed is opened
/// on "/dev/null", so that no file opened later takes its number.
void prepareProcess();

/// The whole run. Returns the exit status: 0 after a shutdown or the end of
/// input, 1 after an output failure (with one "Error: " line on standard
/// error) or when the reader thread cannot be started. It refuses to start,
/// with status 1, one "Error: " line and no greeting, when no descriptor is
/// free beside the standard streams. The reader thread is never waited for.
int runSidecar();

}  // namespace sidecar::session
