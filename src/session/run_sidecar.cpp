#include "session/run_sidecar.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

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
/// other place left to report them. Allocates nothing, so that it works
/// when memory has run out.
void writeDiagnostic(std::string_view text) {
  static constexpr std::string_view PREFIX = "Error: ";
  char line[512];
  const std::size_t length = std::min(text.size(), sizeof line - PREFIX.size() - 1);
  std::memcpy(line, PREFIX.data(), PREFIX.size());
  std::memcpy(line + PREFIX.size(), text.data(), length);
  line[PREFIX.size() + length] = '\n';
  const std::size_t total = PREFIX.size() + length + 1;
  std::size_t written = 0;
  while (written < total) {
    const ssize_t n = write(STDERR_FILENO, line + written, total - written);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;
    }
    written += static_cast<std::size_t>(n);
  }
}

/// Reading the system's processes takes one descriptor at a time beside the
/// standard streams (on Linux, files under /proc); with none free every
/// answer would come back silently empty. The description of that
/// shortage, or nothing when a descriptor is free.
std::optional<std::string> descriptorShortage() {
  const int probe = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
  if (probe >= 0) {
    close(probe);
    return std::nullopt;
  }
  if (errno != EMFILE) {
    return std::nullopt;
  }
  rlimit limit{};
  const std::string bound = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                                ? " of " + std::to_string(limit.rlim_cur)
                                : std::string();
  return "no file descriptor is free under the open-file limit" + bound +
         "; the sidecar needs one beside standard input, output and error";
}

/// The description of an allocation that failed, in the form of the other
/// operating-system errors.
std::string outOfMemoryText() {
  try {
    return protocol::IoStatus::osError(ENOMEM).describe();
  } catch (const std::bad_alloc&) {
    return {};
  }
}

protocol::IoStatus writeGreeting(protocol::MessageWriter& writer) {
  return writer.writeMessage(protocol::HelloMessage{SIDECAR_VERSION, static_cast<std::uint32_t>(getpid()),
                                                    procinfo::systemPlatformName(), procinfo::systemArchName()});
}

/// The least stack the main thread is given room for. A parent may hand
/// down a stack limit of a few KiB, below what the main thread's ordinary
/// work (a process table, a sample) needs: it would crash at random, by
/// where the randomised stack top falls. The main thread's stack grows on
/// demand up to the limit in force when it grows, so raising the limit at
/// start is enough.
constexpr rlim_t MAIN_STACK_FLOOR = 1024 * 1024;

/// Raises the soft stack limit to MAIN_STACK_FLOOR where the hard limit
/// allows. True when the main thread has that much room now.
bool ensureStackFloor() {
  rlimit limit{};
  if (getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= MAIN_STACK_FLOOR) {
    return true;
  }
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? MAIN_STACK_FLOOR : std::min(limit.rlim_max, MAIN_STACK_FLOOR);
  return setrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur >= MAIN_STACK_FLOOR;
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

namespace {

/// A run that could not start; the text is its diagnostic.
struct StartFailure {
  std::string message;
};

/// The session from the greeting to its end: its outcome, or the
/// diagnostic of a failed start (no descriptor free, or the reader thread
/// could not be started), in which case nothing is written.
std::variant<protocol::IoStatus, StartFailure> runSession(protocol::MessageWriter& writer) {
  if (std::optional<std::string> shortage = descriptorShortage()) {
    return StartFailure{std::move(*shortage)};
  }
  protocol::IoStatus outcome = writeGreeting(writer);
  if (outcome.isOk()) {
    CommandChannel channel = makeCommandChannel();
    if (std::optional<ReaderStartError> error = startCommandReader(std::move(channel.sender))) {
      return StartFailure{std::move(error->message)};
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
  return outcome;
}

}  // namespace

namespace {

/// The run itself, on whichever thread has the stack for it.
int runSidecarHere() {

  // Standard output belongs to the writer for the whole run; nothing else
  // in the process writes to it.
  protocol::FdSink output(STDOUT_FILENO);
  protocol::MessageWriter writer(output);
  std::string failure;
  try {
    std::variant<protocol::IoStatus, StartFailure> ended = runSession(writer);
    if (const auto* error = std::get_if<StartFailure>(&ended)) {
      failure = error->message;
    } else if (const auto& outcome = std::get<protocol::IoStatus>(ended); !outcome.isOk()) {
      failure = outcome.describe();
    }
  } catch (const std::bad_alloc&) {
    // An allocation failed on this thread. Unwinding has released the
    // session's state; the writer encodes without allocating, so it never
    // holds half a line. The run ends as after an output failure.
    failure = outOfMemoryText();
    if (failure.empty()) failure = "out of memory";
  }

  writer.close();
  if (!failure.empty()) {
    writeDiagnostic(failure);
    return FAILURE_STATUS;
  }
  return 0;
}

void* runSidecarOnThread(void* status) {
  *static_cast<int*>(status) = runSidecarHere();
  return nullptr;
}

}  // namespace

int runSidecar() {
  prepareProcess();
  if (ensureStackFloor()) {
    return runSidecarHere();
  }
  // The hard stack limit keeps the main thread short of room: the work that
  // the main thread would do runs on a thread with a stack of its own (not
  // bound by the limit), and the main thread only waits for it. Should that
  // thread not start, the main thread does the work with what it has.
  int status = 0;
  pthread_attr_t attributes;
  pthread_t thread;
  bool started = false;
  if (pthread_attr_init(&attributes) == 0) {
    started = pthread_attr_setstacksize(&attributes, MAIN_STACK_FLOOR) == 0 &&
              pthread_create(&thread, &attributes, runSidecarOnThread, &status) == 0;
    pthread_attr_destroy(&attributes);
  }
  if (!started) {
    return runSidecarHere();
  }
  pthread_join(thread, nullptr);
  return status;
}

}  // namespace sidecar::session
