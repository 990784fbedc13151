#include "session/run_sidecar.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <utility>

#include "procinfo/clock.h"
#include "procinfo/platform.h"
#include "protocol/byte_sink.h"
#include "protocol/io_status.h"
#include "protocol/message_writer.h"
#include "protocol/outgoing_message.h"
#include "session/command_channel.h"
#include "session/command_reader.h"
#include "session/main_loop.h"
#include "session/session_state.h"

namespace sidecar::session {
namespace {

/// Exit status of a run that could not go on.
constexpr int FAILURE_STATUS = 1;

void reopenOnDevNullIfClosed(int fd) {
  if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
    return;
  }
  // Descriptors are handed out lowest first, so with the lower standard
  // descriptors already open the new one normally takes `fd` itself. If
  // even /dev/null cannot be opened the descriptor stays closed: writes to a
  // closed standard output are dropped, and a closed input reads as ended.
  const int opened = open("/dev/null", O_RDWR);
  if (opened >= 0 && opened != fd) {
    static_cast<void>(dup2(opened, fd));
    close(opened);
  }
}

/// Writes one whole line to standard error, ignoring failures: there is no
/// other place left to report them.
void writeDiagnostic(const std::string& text) {
  const std::string line = "Error: " + text + "\n";
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = write(STDERR_FILENO, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;
    }
    written += static_cast<std::size_t>(n);
  }
}

protocol::IoStatus writeGreeting(protocol::MessageWriter& writer) {
  return writer.writeMessage(protocol::HelloMessage{SIDECAR_VERSION, static_cast<std::uint32_t>(getpid()),
                                                    procinfo::systemPlatformName(), procinfo::systemArchName()});
}

}  // namespace

void prepareProcess() {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  static_cast<void>(sigaction(SIGPIPE, &ignore, nullptr));
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    reopenOnDevNullIfClosed(fd);
  }
}

int runSidecar() {
  prepareProcess();

  // Standard output belongs to the writer for the whole run; nothing else
  // in the process writes to it.
  protocol::FdSink output(STDOUT_FILENO);
  protocol::MessageWriter writer(output);
  protocol::IoStatus outcome = writeGreeting(writer);

  if (outcome.isOk()) {
    CommandChannel channel = makeCommandChannel();
    if (std::optional<ReaderStartError> error = startCommandReader(std::move(channel.sender))) {
      writer.close();
      writeDiagnostic(error->message);
      return FAILURE_STATUS;
    }
    procinfo::SystemClock clock;
    const std::unique_ptr<procinfo::Platform> platform = procinfo::makeSystemPlatform(clock);
    {
      SessionState state(*platform, clock);
      outcome = runMainLoop(state, writer, channel.receiver);
    }
    // Commands still queued are discarded, and a later send of the reader
    // fails, so it stops at its next line; it is not waited for.
    channel.receiver.release();
  }

  writer.close();
  if (!outcome.isOk()) {
    writeDiagnostic(outcome.describe());
    return FAILURE_STATUS;
  }
  return 0;
}

}  // namespace sidecar::session
