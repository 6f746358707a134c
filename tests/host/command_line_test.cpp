#include "host/command_line.h"

#include <gtest/gtest.h>

#include "host/startup.h"

namespace zuntar {
namespace {

TEST(CommandLine, SwitchesAfterAnyPrefixInAnyCase) {
  const struct {
    std::vector<std::string> args;
    bool install, uninstall, silent;
  } cases[] = {
      {{"-install"}, true, false, false},
      {{"/INSTALL"}, true, false, false},
      {{"\\Install"}, true, false, false},
      {{"x", "-UnInstall", "/silent"}, false, true, true},
      {{"INSTALL"}, false, false, false},      // no prefix: not a switch
      {{"--install"}, false, false, false},    // "-install" is not "INSTALL"
      {{"-installer"}, false, false, false},   // the whole argument counts
      {{"-"}, false, false, false},
      {{}, false, false, false},
  };
  for (const auto& c : cases) {
    const CommandLine line(c.args);
    EXPECT_EQ(line.HasSwitch("INSTALL"), c.install) << ::testing::PrintToString(c.args);
    EXPECT_EQ(line.HasSwitch("UNINSTALL"), c.uninstall) << ::testing::PrintToString(c.args);
    EXPECT_EQ(line.HasSwitch("SILENT"), c.silent) << ::testing::PrintToString(c.args);
  }
}

TEST(CommandLine, InstanceNameFromTheFirstParameterThatNamesOne) {
  const struct {
    std::vector<std::string> args;
    std::string name;
  } cases[] = {
      {{"INSTANCE=one"}, "one"},
      {{"-instance=  two  "}, "two"},
      {{"/MyInstance=a=b"}, "a=b"},          // after the first '='
      {{"INSTANCE"}, ""},                    // no '='
      {{"x=1", "Instance=", "INSTANCE=late"}, ""},  // the first one counts, even empty
      {{"-install"}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(CommandLine(c.args).InstanceName(), c.name) << ::testing::PrintToString(c.args);
}

TEST(CommandLine, HelpAndVersionAreExactArguments) {
  EXPECT_TRUE(CommandLine({"--help"}).WantsHelp());
  EXPECT_TRUE(CommandLine({"INSTANCE=x", "-h"}).WantsHelp());
  EXPECT_FALSE(CommandLine({"-help"}).WantsHelp());
  EXPECT_TRUE(CommandLine({"--version"}).WantsVersion());
  EXPECT_FALSE(CommandLine({"-version"}).WantsVersion());
  const std::string usage = UsageText("ZuntarMervoPlugin");
  for (const SwitchInfo& s : kSwitches) EXPECT_NE(usage.find(s.name), std::string::npos) << s.name;
}

TEST(ServiceAccount, WhoRunsAsTheInstalledService) {
  const struct {
    const char* user;
    std::optional<std::string> account;
    bool service;
  } cases[] = {
      {"alice", "alice", true},
      {"alice", "ALICE", true},
      {"alice", ".\\Alice", true},
      {"alice", "bob", false},
      {"alice", "domain\\alice", false},
      {"alice", std::nullopt, false},    // no service installed
      {"root", "LocalSystem", true},     // the unit names no account
      {"root", "localsystem", true},
      {"alice", "LocalSystem", false},
      {"Система", "bob", true},          // the system account of a Russian system
      {"Система", std::nullopt, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(IsServiceAccount(c.user, c.account), c.service) << c.user << " / " << c.account.value_or("<none>");
}

}  // namespace
}  // namespace zuntar
