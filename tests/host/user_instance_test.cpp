// A desktop user's application of an installed program: an instance of its
// own, run by the real executable as a user who is not root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "core/utf.h"
#include "host/headless_control.h"
#include "platform/file_io.h"
#include "plugin_sandbox.h"
#include "support/http_client.h"
#include "support/ports.h"

namespace zuntar {
namespace {

namespace fs = std::filesystem;
using test::PluginProcess;
using test::PluginSandbox;

constexpr uid_t kUser = 4245;  // a user nobody has: the program must not need one

void GiveTree(const std::string& path, uid_t uid) {
  ASSERT_EQ(::chown(path.c_str(), uid, uid), 0) << path;
  for (const auto& entry : fs::recursive_directory_iterator(path))
    ASSERT_EQ(::lchown(entry.path().c_str(), uid, uid), 0) << entry.path();
}

// Every file and folder under `path` (links aside) that its owner's group
// or other users could read, write or enter. The database engine's lock
// files are its own business: their folder is closed to others.
std::vector<std::string> OpenToOthers(const std::string& path) {
  std::vector<std::string> open;
  for (const auto& entry : fs::recursive_directory_iterator(path)) {
    if (entry.is_symlink() || entry.path().parent_path().filename() == "lock") continue;
    if ((entry.status().permissions() & (fs::perms::group_all | fs::perms::others_all)) != fs::perms::none)
      open.push_back(entry.path().string());
  }
  return open;
}

// The executable lies in a folder of root's, which the user may only enter:
// as in the installed package, nothing may be written beside it. The
// user's instance keeps its files in the XDG folders, all private, creates
// its database at its first start, and when another instance (the
// service, say) starts on its port, that one says why it does not serve
// and runs on.
TEST(UserInstance, KeepsPrivateFilesOfItsOwnAndTheSecondOnThePortSaysSo) {
  if (::geteuid() != 0) GTEST_SKIP() << "running the program as another user needs root";
  PluginSandbox box;
  test::TempDir home;
  const int port = test::FreePort();
  // The user's configuration, as the first start would have copied it.
  const std::string config_dir = home / "config/zuntar-mervo-plugin/";
  fs::create_directories(config_dir);
  const std::string config = config_dir + "ZuntarMervoPlugin.ini";
  WriteStringToFile("HTTPPORT=" + std::to_string(port) + "\r\nTIMEOUTBEFORESTARTHTTP=0\r\n", config);
  for (const std::string& folder : {home / "config", config_dir}) ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(config.c_str(), 0600), 0);
  box.RegisterProvider();
  GiveTree(home.path(), kUser);
  GiveTree(box.root(), kUser);
  ASSERT_EQ(::chmod(box.exe_dir().c_str(), 0755), 0);
  box.AddEnv("HOME=" + home.path());
  box.AddEnv("XDG_CONFIG_HOME=" + home / "config");
  box.AddEnv("XDG_STATE_HOME=" + home / "state");
  box.AddEnv("XDG_DATA_HOME=" + home / "data");
  box.RunAs(kUser);
  PluginProcess user = box.Start({});

  const std::string log_file = home / "state/zuntar-mervo-plugin/ZuntarMervoPlugin.log";
  const auto log = [&] {
    try {
      return Utf8FromAnsi(ReadFileToString(log_file));
    } catch (const std::exception&) {
      return std::string();
    }
  };
  for (int i = 0; i < 600 && log().find("Плагин запущен !") == std::string::npos && user.Running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_NE(log().find("Плагин запущен !"), std::string::npos) << log() << user.Stderr();
  EXPECT_EQ(test::Request(port, "GET", "/MERVO/PING").status, 200);
  EXPECT_EQ(log().find("ERROR"), std::string::npos) << log();  // the database too was there

  const std::string db = home / "data/zuntar-mervo-plugin/ZuntarMervoPlugin.gdb";
  struct stat st {};
  ASSERT_EQ(::stat(db.c_str(), &st), 0) << log();
  EXPECT_EQ(st.st_uid, kUser);
  for (const std::string& file : {log_file, db, box.root() + "run/ZuntarMervoPlugin.lock",
                                  box.root() + "run/zuntar-firebird-4245/firebird.conf"})
    EXPECT_TRUE(FileExists(file)) << file;
  EXPECT_EQ(OpenToOthers(home.path()), std::vector<std::string>{});
  EXPECT_EQ(OpenToOthers(box.root() + "run"), std::vector<std::string>{});
  EXPECT_EQ(std::distance(fs::directory_iterator(box.exe_dir()), fs::directory_iterator()), 1);  // the program only

  // Root's own copy (beside its executable) asks for the same port.
  PluginSandbox other;
  WriteStringToFile("HTTPPORT=" + std::to_string(port) + "\r\n", other.config_file());
  PluginProcess second = other.Start({});
  EXPECT_TRUE(other.WaitForLog(test::Cp1251("ERROR " + PortTakenText(true, port)))) << other.Log();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(second.Running());
  EXPECT_EQ(second.Terminate(), 0);
  EXPECT_EQ(user.Terminate(), 0);
}

}  // namespace
}  // namespace zuntar
