#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "host/startup.h"
#include "platform/file_io.h"
#include "platform/process.h"
#include "platform/user_account.h"
#include "support/private_root.h"

namespace zuntar {
namespace {

using StartupValuesTest = test::PrivateRootTest;

TEST_F(StartupValuesTest, NamesFollowTheExecutableAndTheInstance) {
  const StartupValues plain = ComputeStartupValues(CommandLine({}));
  EXPECT_EQ(plain.ExeDir, ExecutableDir());
  EXPECT_EQ(plain.ExeDir.back(), '/');
  EXPECT_EQ(plain.ConfigFileName, plain.ExeDir + "ZuntarMervoPlugin.ini");
  EXPECT_EQ(plain.InstanceName, "");
  EXPECT_EQ(plain.MutexName, "ZuntarMervoPlugin");
  EXPECT_EQ(plain.UserName, ProcessUserName());
  EXPECT_FALSE(plain.IsServiceRun);  // no service installed

  const StartupValues named = ComputeStartupValues(CommandLine({"-install", "INSTANCE= second "}));
  EXPECT_EQ(named.InstanceName, "second");
  EXPECT_EQ(named.MutexName, "ZuntarMervoPlugin_second");
  EXPECT_EQ(named.ConfigFileName, plain.ConfigFileName);  // instances share the files

  EXPECT_EQ(ComputeStartupValues(CommandLine({"INSTANCE=  "})).MutexName, "ZuntarMervoPlugin");
}

TEST_F(StartupValuesTest, ServiceRunFollowsTheInstalledUnitsAccount) {
  std::filesystem::create_directories(root_ / "systemd");
  WriteStringToFile("[Service]\nUser=" + ProcessUserName() + "\n", root_ / "systemd/ZuntarMervoPlugin.service");
  EXPECT_TRUE(ComputeStartupValues(CommandLine({})).IsServiceRun);
  WriteStringToFile("[Service]\nUser=somebody-else\n", root_ / "systemd/ZuntarMervoPlugin.service");
  EXPECT_FALSE(ComputeStartupValues(CommandLine({})).IsServiceRun);
}

}  // namespace
}  // namespace zuntar
