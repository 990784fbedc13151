// The sidecar's command-line arguments. A session takes none; only an exact
// first argument "--help" or "--version" prints a short text and ends the
// process, and every other argument is ignored, so that a parent that passes
// something out of habit still gets a session. Pure functions plus the one
// entry that main calls; main thread only.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace sidecar::session {

/// What the first argument asks for instead of a session.
enum class InformationRequest { Help, Version };

/// The request named by exactly "--help" or "--version" as the first
/// argument after the program name; nothing for every other argument list
/// (no arguments, other words, or these words anywhere but first). Later
/// arguments never change the answer: "--help --version" asks for the help.
std::optional<InformationRequest> informationRequest(std::span<const std::string_view> arguments);

/// The text printed for a request, ending in a line feed.
std::string informationText(InformationRequest request);

/// The whole program: prints the requested text and returns 0 (1 when it
/// cannot be written), or runs a session (runSidecar) and returns its status.
int runWithArguments(int argc, char** argv);

}  // namespace sidecar::session
