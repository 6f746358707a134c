#include "platform/service_manager.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "platform/file_io.h"
#include "platform/process.h"
#include "support/private_root.h"

namespace zuntar {
namespace {

using ServiceManagerTest = test::PrivateRootTest;

TEST_F(ServiceManagerTest, InstallWritesTheUnitAndRemoveTakesItAway) {
  const ServiceDefinition def{"ZuntarMervoPlugin", "ЗУНТАР.Плагин", "/opt/my plugin/ZuntarMervoPlugin"};
  EXPECT_FALSE(ServiceExists(def.name));
  EXPECT_FALSE(QueryServiceAccount(def.name));
  InstallService(def);
  EXPECT_EQ(ServiceUnitFile(def.name), root_ / "systemd/ZuntarMervoPlugin.service");
  const std::string unit = ReadFileToString(ServiceUnitFile(def.name));
  EXPECT_NE(unit.find("\nDescription=ЗУНТАР.Плагин\n"), std::string::npos);
  EXPECT_NE(unit.find("\nExecStart=\"/opt/my plugin/ZuntarMervoPlugin\"\n"), std::string::npos);
  EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos);
  EXPECT_EQ(unit.find("User="), std::string::npos);
  EXPECT_EQ(unit.find("[Install]"), std::string::npos);  // never enabled: started on demand
  EXPECT_EQ(QueryServiceAccount(def.name), "LocalSystem");
  EXPECT_TRUE(ReloadServiceManager());  // a private root never reloads systemd

  EXPECT_THROW(InstallService(def), EServiceError);
  RemoveService(def.name);
  EXPECT_FALSE(ServiceExists(def.name));
  EXPECT_THROW(RemoveService(def.name), EServiceError);
  EXPECT_TRUE(std::filesystem::is_empty(root_ / "systemd"));
}

TEST_F(ServiceManagerTest, ExecStartSurvivesSystemdExpansion) {
  const std::string unit = FormatServiceUnit({"S", "100% \"sure\"", "/a/$HOME/%h/q\"b\\c"});
  EXPECT_NE(unit.find("\nDescription=100%% \"sure\"\n"), std::string::npos);
  EXPECT_NE(unit.find("\nExecStart=\"/a/$HOME/%%h/q\\\"b\\\\c\"\n"), std::string::npos);
}

TEST_F(ServiceManagerTest, SystemdAcceptsTheUnit) {
  if (!FileExists("/usr/bin/systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
  // An executable whose path needs the quoting and escaping of the unit.
  const std::string folder = root_ / "my 100% $plugin";
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file("/bin/true", folder + "/ZuntarMervoPlugin");
  InstallService({"ZuntarMervoPlugin", "ЗУНТАР.Плагин", folder + "/ZuntarMervoPlugin"});
  EXPECT_EQ(RunProcess("/usr/bin/systemd-analyze verify \"" + ServiceUnitFile("ZuntarMervoPlugin") + "\"", ""), 0);
}

TEST_F(ServiceManagerTest, AccountIsTheLastUserOfTheServiceSection) {
  std::filesystem::create_directories(root_ / "systemd/S.service.d");
  const struct {
    const char* unit;
    const char* drop_in;  // nullptr: none
    const char* account;
  } cases[] = {
      {"[Service]\nUser=alice\n", nullptr, "alice"},
      {"[Service]\n  User = bob \r\n", nullptr, "bob"},
      {"[Unit]\nUser=unit-section\n[Service]\nExecStart=/x\n", nullptr, "LocalSystem"},
      {"[Service]\nUser=alice\nUser=carol\n", nullptr, "carol"},
      {"[Service]\nUser=alice\nUser=\n", nullptr, "LocalSystem"},
      {"[Service]\n#User=commented\n", nullptr, "LocalSystem"},
      {"[Service]\nUser=.\\dave\n", nullptr, ".\\dave"},
      {"[Service]\nUser=alice\n", "[Service]\nUser=erin\n", "erin"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.unit);
    WriteStringToFile(c.unit, root_ / "systemd/S.service");
    DeletePath(root_ / "systemd/S.service.d/10-user.conf", 0);
    if (c.drop_in != nullptr) WriteStringToFile(c.drop_in, root_ / "systemd/S.service.d/10-user.conf");
    EXPECT_EQ(QueryServiceAccount("S"), c.account);
  }
}

TEST_F(ServiceManagerTest, InstallIntoAnUnwritableFolderFails) {
  WriteStringToFile("not a folder", root_ / "systemd");
  EXPECT_THROW(InstallService({"S", "S", "/bin/true"}), EServiceError);
}

TEST(ServiceNotify, DoesNothingWithoutNotifySocket) {
  unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(NotifyServiceManager("READY=1"));
}

}  // namespace
}  // namespace zuntar
