#include "session/program_arguments.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "session/run_sidecar.h"

namespace sidecar::session {
namespace {

TEST(ProgramArguments, OnlyAnExactFirstArgumentAsksForInformation) {
  struct Row {
    std::vector<std::string_view> arguments;
    std::optional<InformationRequest> request;
  };
  const Row rows[] = {
      {{}, std::nullopt},
      {{"sidecar"}, std::nullopt},
      {{"sidecar", "--help"}, InformationRequest::Help},
      {{"sidecar", "--version"}, InformationRequest::Version},
      {{"sidecar", "--help", "--version"}, InformationRequest::Help},
      {{"sidecar", "--version", "--help"}, InformationRequest::Version},
      {{"sidecar", "--version", "anything"}, InformationRequest::Version},
      {{"sidecar", "anything", "--help"}, std::nullopt},
      {{"sidecar", "-h"}, std::nullopt},
      {{"sidecar", "-V"}, std::nullopt},
      {{"sidecar", "help"}, std::nullopt},
      {{"sidecar", "--HELP"}, std::nullopt},
      {{"sidecar", "--help="}, std::nullopt},
      {{"sidecar", " --help"}, std::nullopt},
      {{"sidecar", "--versions"}, std::nullopt},
      {{"sidecar", ""}, std::nullopt},
  };
  for (const Row& row : rows) {
    std::string shown;
    for (std::string_view argument : row.arguments) shown.append("[").append(argument).append("]");
    EXPECT_EQ(informationRequest(row.arguments), row.request) << shown;
  }
}

TEST(ProgramArguments, TheVersionLineNamesTheProjectAndProtocolVersions) {
  EXPECT_EQ(informationText(InformationRequest::Version),
            std::string("sidecar ") + SIDECAR_VERSION + " (protocol version 3)\n");
  EXPECT_STREQ(SIDECAR_VERSION, "0.1.0");
}

TEST(ProgramArguments, TheHelpStartsWithTheVersionLineAndNamesTheReference) {
  const std::string help = informationText(InformationRequest::Help);
  EXPECT_EQ(help.rfind(informationText(InformationRequest::Version), 0), 0U) << help;
  EXPECT_NE(help.find("docs/protocol.md"), std::string::npos) << help;
  EXPECT_NE(help.find("share/doc/sidecar/protocol.md"), std::string::npos) << help;
  EXPECT_NE(help.find("--version"), std::string::npos) << help;
  ASSERT_FALSE(help.empty());
  EXPECT_EQ(help.back(), '\n');
  EXPECT_EQ(help.find("\n\n\n"), std::string::npos);
}

}  // namespace
}  // namespace sidecar::session
