#include "session/program_arguments.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "protocol/command.h"
#include "session/run_sidecar.h"

namespace sidecar::session {
namespace {

/// Where the protocol reference lives, in the source tree and once installed.
constexpr std::string_view REFERENCE_SOURCE_PATH = "docs/protocol.md";
constexpr std::string_view REFERENCE_INSTALLED_PATH = "share/doc/sidecar/protocol.md";

std::string versionLine() {
  return std::string("sidecar ") + SIDECAR_VERSION + " (protocol version " +
         std::to_string(protocol::PROTOCOL_VERSION) + ")\n";
}

/// Writes all of `text` to standard output; false when a write fails.
bool writeAll(std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(STDOUT_FILENO, text.data(), text.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::optional<InformationRequest> informationRequest(std::span<const std::string_view> arguments) {
  if (arguments.size() < 2) {
    return std::nullopt;
  }
  if (arguments[1] == "--help") {
    return InformationRequest::Help;
  }
  if (arguments[1] == "--version") {
    return InformationRequest::Version;
  }
  return std::nullopt;
}

std::string informationText(InformationRequest request) {
  if (request == InformationRequest::Version) {
    return versionLine();
  }
  std::string text = versionLine();
  text +=
      "\n"
      "A process monitor that a parent application starts as a child process.\n"
      "The parent writes commands to its standard input, one JSON object per\n"
      "line, and reads answers and samples from its standard output, one JSON\n"
      "object per line; the first line is a greeting.\n"
      "\n"
      "Usage:\n"
      "  sidecar            run a session on standard input and output\n"
      "  sidecar --help     print this text and exit\n"
      "  sidecar --version  print the version line and exit\n"
      "\n"
      "Only --help or --version as the first argument acts on its own; any other\n"
      "argument is ignored and a session runs.\n"
      "\n"
      "Protocol reference: ";
  text += REFERENCE_SOURCE_PATH;
  text += " in the source tree,\ninstalled as ";
  text += REFERENCE_INSTALLED_PATH;
  text += " under the installation prefix.\n";
  return text;
}

int runWithArguments(int argc, char** argv) {
  std::vector<std::string_view> arguments;
  arguments.reserve(argc > 0 ? static_cast<std::size_t>(argc) : 0U);
  for (int i = 0; i < argc; ++i) {
    arguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
  }
  if (const std::optional<InformationRequest> request = informationRequest(arguments)) {
    return writeAll(informationText(*request)) ? 0 : 1;
  }
  return runSidecar();
}

}  // namespace sidecar::session
