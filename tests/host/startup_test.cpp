// The real executable, started the way people and systemd start it.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <filesystem>
#include <set>

#include "platform/file_io.h"
#include "platform/unique_fd.h"
#include "platform/user_account.h"
#include "plugin_sandbox.h"

namespace zuntar {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Cp1251;
using test::PluginProcess;
using test::PluginSandbox;
using test::StartLine;

std::set<std::string> Listing(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename().string());
  return names;
}

TEST(Startup, RunsAsApplicationUntilSigterm) {
  PluginSandbox box;
  PluginProcess p = box.Start({});
  ASSERT_TRUE(box.WaitForLog(StartLine(true))) << box.Log() << p.Stderr();
  const std::string log = box.Log();
  EXPECT_NE(log.find(" DEBUG "), std::string::npos);
  EXPECT_NE(log.find(Cp1251(", пользователь: ") + ProcessUserName() + Cp1251(", версия : ") +
                     ZUNTAR_PLUGIN_VERSION + " ..."),
            std::string::npos)
      << log;
  EXPECT_TRUE(FileExists(box.root() + "run/ZuntarMervoPlugin.lock"));
  EXPECT_EQ(p.Terminate(), 0);
  EXPECT_EQ(box.CountInLog(Cp1251("Работа Плагина завершена")), 1);
  EXPECT_EQ(p.Stdout() + p.Stderr(), "");
}

TEST(Startup, TheLocaleChoosesTheCodePageAndTheLogSaysWhyTheDatabaseIsOff) {
  {
    PluginSandbox box;
    box.AddEnv("LC_ALL=en_US.ISO-8859-1");  // code page 1252: Russian letters become '?'
    PluginProcess p = box.Start({});
    ASSERT_TRUE(box.WaitForLog("?????? ??????? ? ?????? ??????????,http ????????????")) << box.Log();
    EXPECT_TRUE(
        box.WaitForLog("EVENT The task database is not used: the locale \"en_US.ISO-8859-1\" has code page 1252"))
        << box.Log();
    EXPECT_EQ(p.Terminate(), 0);
  }
  // A UTF-8 system of any language shows Cyrillic and keeps its tasks.
  PluginSandbox box;
  box.AddEnv("LC_ALL=en_US.UTF-8");
  ASSERT_EQ(box.Run({"-CREATEDB"}), 0);
  PluginProcess p = box.Start({});
  ASSERT_TRUE(box.WaitForLog(StartLine(true))) << box.Log();
  EXPECT_TRUE(box.WaitForLog(Cp1251("Обрабатывающий поток запущен"))) << box.Log();
  ASSERT_TRUE(box.WaitForStartEnd());
  EXPECT_EQ(box.CountInLog("database is not used"), 0);
  EXPECT_EQ(p.Terminate(), 0);
}

TEST(Startup, SecondInstanceWithTheSameNameEndsAtOnceAndSilently) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"INSTANCE=one"}}) {
    PluginSandbox box;
    // With its database the first instance's log stays quiet (no retries).
    ASSERT_EQ(box.Run({"-CREATEDB"}), 0);
    PluginProcess first = box.Start(args);
    ASSERT_TRUE(box.WaitForStartEnd()) << box.Log();
    const std::string log_before = box.Log();
    std::string out, err;
    EXPECT_EQ(box.Run(args, &out, &err), 0);
    EXPECT_EQ(out + err, "");
    EXPECT_EQ(box.Log(), log_before);  // not a single line
    EXPECT_TRUE(first.Running());
    EXPECT_EQ(first.Terminate(), 0);
  }
}

TEST(Startup, LockOfAKilledInstanceDoesNotBlockTheNextStart) {
  PluginSandbox box;
  {
    PluginProcess crashed = box.Start({});
    ASSERT_TRUE(box.WaitForLog(StartLine(true)));
    crashed.Signal(SIGKILL);
    EXPECT_FALSE(crashed.WaitExit(10s));  // no exit code: a signal ended it
    EXPECT_FALSE(crashed.Running());
  }
  EXPECT_TRUE(FileExists(box.root() + "run/ZuntarMervoPlugin.lock"));  // left behind, but not locked
  PluginProcess next = box.Start({});
  EXPECT_TRUE(box.WaitForLog(StartLine(true), 2));
  EXPECT_EQ(next.Terminate(), 0);
}

TEST(Startup, InstancesWithDifferentNamesRunSideBySide) {
  PluginSandbox box;
  PluginProcess one = box.Start({"INSTANCE=one"});
  PluginProcess two = box.Start({"-instance= two "});
  PluginProcess plain = box.Start({});
  // One log for all of them: the instance name changes only the lock.
  ASSERT_TRUE(box.WaitForLog(StartLine(true), 3)) << box.Log();
  EXPECT_TRUE(FileExists(box.root() + "run/ZuntarMervoPlugin_one.lock"));
  EXPECT_TRUE(FileExists(box.root() + "run/ZuntarMervoPlugin_two.lock"));
  EXPECT_EQ(box.Run({"/INSTANCE=two"}), 0);  // the same name as a running one
  EXPECT_TRUE(one.Running());
  EXPECT_TRUE(two.Running());
  EXPECT_TRUE(plain.Running());
  EXPECT_EQ(box.CountInLog(StartLine(true)), 3);
  EXPECT_EQ(one.Terminate(), 0);
  EXPECT_EQ(two.Terminate(), 0);
  EXPECT_EQ(plain.Terminate(), 0);
}

TEST(Startup, InstallAndUninstallInEverySpellingLeaveTheUnitFolderAsBefore) {
  const struct {
    const char* install;
    const char* uninstall;
  } spellings[] = {{"-install", "-uninstall"}, {"/INSTALL", "/UNINSTALL"}, {"\\Install", "\\UnInstall"}};
  PluginSandbox box;
  WriteStringToFile("[Service]\nExecStart=/bin/true\n", box.unit_dir() + "/other.service");
  const std::set<std::string> before = Listing(box.unit_dir());
  for (const auto& s : spellings) {
    SCOPED_TRACE(s.install);
    std::string out, err;
    ASSERT_EQ(box.Run({s.install}, &out, &err), 0) << err;
    EXPECT_NE(out.find("installed"), std::string::npos) << out;
    const std::string unit = ReadFileToString(box.unit_file());
    EXPECT_NE(unit.find("\nDescription=ЗУНТАР.Плагин\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nExecStart=\"" + box.exe() + "\"\n"), std::string::npos) << unit;
    EXPECT_EQ(unit.find("User="), std::string::npos);
    ASSERT_EQ(box.Run({s.uninstall}, &out, &err), 0) << err;
    EXPECT_NE(out.find("removed"), std::string::npos) << out;
    EXPECT_EQ(Listing(box.unit_dir()), before);
  }
  EXPECT_EQ(ReadFileToString(box.unit_dir() + "/other.service"), "[Service]\nExecStart=/bin/true\n");
  EXPECT_EQ(box.Log(), "");  // neither switch starts the plugin
  EXPECT_FALSE(fs::exists(box.root() + "run/ZuntarMervoPlugin.lock"));
}

TEST(Startup, InstallWorksWhileThePluginRunsAndSilentPrintsNothing) {
  PluginSandbox box;
  PluginProcess running = box.Start({});
  ASSERT_TRUE(box.WaitForLog(StartLine(true)));
  std::string out, err;
  EXPECT_EQ(box.Run({"-INSTALL", "-SILENT"}, &out, &err), 0);
  EXPECT_EQ(out + err, "");
  EXPECT_TRUE(FileExists(box.unit_file()));
  EXPECT_EQ(box.Run({"/uninstall", "/silent"}, &out, &err), 0);
  EXPECT_EQ(out + err, "");
  EXPECT_FALSE(FileExists(box.unit_file()));
  EXPECT_TRUE(running.Running());
  EXPECT_EQ(running.Terminate(), 0);
}

TEST(Startup, FailedInstallOrUninstallIsReportedAndNotZero) {
  PluginSandbox box;
  std::string out, err;
  EXPECT_EQ(box.Run({"-uninstall"}, &out, &err), 1);
  EXPECT_NE(err.find("does not exist"), std::string::npos) << err;
  ASSERT_EQ(box.Run({"-install", "-silent"}), 0);
  EXPECT_EQ(box.Run({"-install"}, &out, &err), 1);
  EXPECT_NE(err.find("already exists"), std::string::npos) << err;
  EXPECT_EQ(box.Run({"-install", "-silent"}, &out, &err), 1);
  EXPECT_EQ(out + err, "");
}

TEST(Startup, UserOfTheConfiguredAccountTakesServiceMode) {
  const std::string me = ProcessUserName();
  const struct {
    std::string user_line;
    bool service;
  } cases[] = {
      {"User=" + me + "\n", true},
      {"User=.\\" + me + "\n", true},
      {"", me == kLocalSystemUserName},  // no account: the local system account
      {"User=nobody-else-at-all\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.user_line);
    PluginSandbox box;
    WriteStringToFile("[Unit]\nDescription=x\n[Service]\n" + c.user_line + "ExecStart=" + box.exe() + "\n",
                      box.unit_file());
    PluginProcess p = box.Start({});
    EXPECT_TRUE(box.WaitForLog(StartLine(/*app_mode=*/!c.service))) << box.Log();
    EXPECT_EQ(p.Terminate(), 0);
  }
}

// A datagram socket standing in for systemd's notification socket.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    if (bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) throw std::runtime_error("bind");
    timeval tv{10, 0};
    setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  // The next message, empty after 10 s without one.
  std::string Receive() {
    char buffer[4096];
    const ssize_t n = recv(fd_.get(), buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  UniqueFd fd_;
};

TEST(Startup, ServiceReportsReadinessAndFollowsTheServiceManager) {
  PluginSandbox box;
  WriteStringToFile("[Service]\nUser=" + ProcessUserName() + "\n", box.unit_file());
  NotifySocket notify(box.root() + "notify");
  box.AddEnv("NOTIFY_SOCKET=" + notify.path());
  PluginProcess p = box.Start({});
  EXPECT_NE(notify.Receive().find("READY=1"), std::string::npos);
  EXPECT_TRUE(box.WaitForLog(StartLine(false)));
  p.Signal(SIGUSR1);
  EXPECT_NE(notify.Receive().find("STATUS=Paused"), std::string::npos);
  EXPECT_TRUE(box.WaitForLog(Cp1251("Плагин приостановлен")));
  p.Signal(SIGUSR2);
  EXPECT_NE(notify.Receive().find("STATUS=Running"), std::string::npos);
  EXPECT_TRUE(box.WaitForLog(Cp1251("Плагин продолжил работу")));
  p.Signal(SIGHUP);  // no terminal to lose: ignored
  EXPECT_EQ(p.Terminate(), 0);
  EXPECT_NE(notify.Receive().find("STOPPING=1"), std::string::npos);
  EXPECT_EQ(box.CountInLog(Cp1251("Плагин остановлен")), 1);
  // No desktop in service mode: Qt was never started (its messages would be logged).
  EXPECT_EQ(box.CountInLog(" Qt: "), 0) << box.Log();
}

TEST(Startup, RunsWithMissingEmptyOrMalformedConfiguration) {
  const struct {
    const char* name;
    std::optional<std::string> config;  // nothing: no file at all
    bool reason_logged;
  } cases[] = {
      {"missing", std::nullopt, false},
      {"empty", std::string(), false},
      {"malformed", std::string("HTTPPORT=abc\r\n=\r\nno equals sign\r\n\xFF\xFE junk=\r\nLOG_LEVEL=x\r\n"), false},
      {"binary", std::string("LOG_LEVEL=3\0\x01\x02", 14), true},
      {"folder", std::string(), true},  // a folder where the file should be
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PluginSandbox box;
    if (std::string(c.name) == "folder") fs::create_directory(box.config_file());
    else if (c.config) WriteStringToFile(*c.config, box.config_file());
    PluginProcess p = box.Start({});
    ASSERT_TRUE(box.WaitForLog(StartLine(true))) << box.Log();
    EXPECT_EQ(box.CountInLog("Startup error: the configuration file"), c.reason_logged ? 1 : 0) << box.Log();
    EXPECT_EQ(p.Terminate(), 0);
  }
}

TEST(Startup, PriorityClassComesFromTheConfiguration) {
  const struct {
    const char* config;
    int nice;
  } cases[] = {{"", 19}, {"STARTUPPRIORITYCLASS=16384\r\n", 10}, {"STARTUPPRIORITYCLASS=7\r\n", -1}};
  const int own = getpriority(PRIO_PROCESS, 0);
  // Only a privileged process may go below the nice value it inherited (the
  // test suite may run at 19 itself).
  const bool may_lower = setpriority(PRIO_PROCESS, 0, own - 1) == 0;
  setpriority(PRIO_PROCESS, 0, own);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config);
    PluginSandbox box;
    WriteStringToFile(c.config, box.config_file());
    PluginProcess p = box.Start({});
    ASSERT_TRUE(box.WaitForLog(StartLine(true)));
    const int expected = c.nice < 0 ? own : may_lower ? c.nice : std::max(c.nice, own);  // unknown class: unchanged
    EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(p.pid())), expected);
    EXPECT_EQ(p.Terminate(), 0);
  }
}

TEST(Startup, VersionAndHelpNeitherLockNorStart) {
  PluginSandbox box;
  std::string out, err;
  EXPECT_EQ(box.Run({"--version"}, &out, &err), 0);
  EXPECT_EQ(out, std::string(ZUNTAR_PLUGIN_VERSION) + "\n");
  EXPECT_EQ(box.Run({"--help"}, &out, &err), 0);
  EXPECT_NE(out.find("INSTALL"), std::string::npos);
  EXPECT_NE(out.find("INSTANCE=<name>"), std::string::npos);
  EXPECT_FALSE(fs::exists(box.root() + "run/ZuntarMervoPlugin.lock"));
  EXPECT_EQ(box.Log(), "");

  PluginProcess running = box.Start({});
  ASSERT_TRUE(box.WaitForLog(StartLine(true)));
  EXPECT_EQ(box.Run({"-h"}, &out, &err), 0);
  EXPECT_NE(out.find("Usage"), std::string::npos);
  EXPECT_EQ(box.Run({"--version"}, &out, &err), 0);
  EXPECT_EQ(out, std::string(ZUNTAR_PLUGIN_VERSION) + "\n");
  EXPECT_EQ(running.Terminate(), 0);
}

TEST(Startup, ExecutableWithoutVersionRecordRunsWithAnEmptyVersion) {
  PluginSandbox box(ZUNTAR_PLUGIN_NO_VERSION_EXE);
  std::string out;
  EXPECT_EQ(box.Run({"--version"}, &out), 0);
  EXPECT_EQ(out, "\n");
  PluginProcess p = box.Start({});
  ASSERT_TRUE(box.WaitForLog(StartLine(true)));
  EXPECT_NE(box.Log().find(Cp1251(", версия :  ...")), std::string::npos) << box.Log();
  EXPECT_EQ(p.Terminate(), 0);
}

}  // namespace
}  // namespace zuntar
