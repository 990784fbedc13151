#include "session/command_reader.h"

#include <pthread.h>
#include <unistd.h>

#include <new>
#include <utility>

#include "protocol/io_status.h"
#include "protocol/parse_command_line.h"
#include "sampling/utf8_text.h"
#include "session/line_reader.h"
#include "session/line_text.h"

namespace sidecar::session {
namespace {

/// Everything the reader thread owns; handed over through pthread_create's
/// argument and deleted by the thread when it stops.
struct ReaderThreadArgs {
  CommandSender sender;
  std::unique_ptr<InputSource> source;
};

extern "C" void* readerThreadMain(void* raw) {
  std::unique_ptr<ReaderThreadArgs> args(static_cast<ReaderThreadArgs*>(raw));
  runCommandReader(*args->source, std::move(args->sender));
  return nullptr;
}

// The system's reason in the same form as other operating-system errors:
// kind, text and number, e.g. "would block: Resource temporarily
// unavailable (os error 11)".
std::string spawnFailure(int errnum) {
  return "failed to spawn thread: " + protocol::IoStatus::osError(errnum).describe();
}

}  // namespace

ReaderMessage decodeLine(std::string_view line) {
  protocol::ParseResult parsed = protocol::parseCommandLine(line);
  if (parsed.command) {
    return ReaderMessage(std::move(*parsed.command));
  }
  return ReaderMessage(ReaderFailure{INVALID_COMMAND_PREFIX + parsed.error});
}

namespace {

void readCommands(InputSource& source, CommandSender& sender) {
  LineReader reader(source);
  for (;;) {
    LineReader::Result next = reader.next();
    if (next.status == LineReader::Status::End) {
      return;
    }
    if (next.status == LineReader::Status::Error) {
      static_cast<void>(sender.send(ReaderFailure{READ_FAILURE_PREFIX +
                                                  protocol::IoStatus::osError(next.errnum).describe()}));
      return;
    }
    if (!sampling::isValidUtf8(next.line)) {
      static_cast<void>(sender.send(ReaderFailure{std::string(READ_FAILURE_PREFIX) + INVALID_UTF8_DESCRIPTION}));
      return;
    }
    stripLineEnding(next.line);
    if (isBlankLine(next.line)) {
      continue;
    }
    if (!sender.send(decodeLine(next.line)).ok()) {
      return;  // the main loop has ended
    }
  }
}

}  // namespace

void runCommandReader(InputSource& source, CommandSender sender) {
  try {
    readCommands(source, sender);
  } catch (const std::bad_alloc&) {
    // A line (or its command) did not fit in memory. Failing the channel,
    // which allocates nothing, lets the main loop end the run with an
    // error; releasing it plainly would read as the end of input.
    sender.fail();
  }
}

std::optional<ReaderStartError> startCommandReader(CommandSender sender, std::unique_ptr<InputSource> source) {
  auto args = std::make_unique<ReaderThreadArgs>(ReaderThreadArgs{std::move(sender), std::move(source)});
  pthread_attr_t attributes;
  int rc = pthread_attr_init(&attributes);
  if (rc != 0) {
    return ReaderStartError{spawnFailure(rc)};
  }
  rc = pthread_attr_setstacksize(&attributes, COMMAND_READER_STACK_SIZE);
  if (rc == 0) {
    rc = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  }
  pthread_t thread;
  if (rc == 0) {
    rc = pthread_create(&thread, &attributes, readerThreadMain, args.get());
  }
  pthread_attr_destroy(&attributes);
  if (rc != 0) {
    return ReaderStartError{spawnFailure(rc)};
  }
  static_cast<void>(args.release());  // the thread owns it now
  return std::nullopt;
}

std::optional<ReaderStartError> startCommandReader(CommandSender sender) {
  return startCommandReader(std::move(sender), std::make_unique<FdInputSource>(STDIN_FILENO));
}

}  // namespace sidecar::session
