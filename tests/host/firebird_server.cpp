#include "firebird_server.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/file_io.h"
#include "plugin_sandbox.h"
#include "support/http_client.h"

namespace zuntar::test {
namespace {

using namespace std::chrono_literals;

constexpr char kServer[] = "/usr/sbin/firebird";
constexpr char kIsql[] = "/usr/bin/isql-fb";
constexpr const char* kLinkedEntries[] = {"plugins", "intl", "lib", "firebird.msg", "plugins.conf"};

// The server's and the tool's environment: the private root and lock
// folder, whatever FIREBIRD the test process was given aside.
std::vector<std::string> ServerEnvironment(const std::string& root) {
  return {"FIREBIRD=" + root, "FIREBIRD_LOCK=" + root + "lock", "FIREBIRD_TMP=" + root + "lock",
          "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
}

pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, const std::string& out) {
  std::vector<std::string> a = args, e = env;
  std::vector<char*> argv, envp;
  for (std::string& s : a) argv.push_back(s.data());
  argv.push_back(nullptr);
  for (std::string& s : e) envp.push_back(s.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addchdir_np(&actions, "/");
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error(std::string("posix_spawn ") + args[0] + ": " + std::strerror(rc));
  return pid;
}

}  // namespace

bool FirebirdServer::Installed() { return ::access(kServer, X_OK) == 0 && ::access(kIsql, X_OK) == 0; }

FirebirdServer::FirebirdServer() {
  const std::string root = root_.path();
  ::mkdir((root + "lock").c_str(), 0700);
  ::mkdir((root + "data").c_str(), 0700);
  for (const char* name : kLinkedEntries)
    if (::symlink((std::string(ZUNTAR_FIREBIRD_DIR) + "/" + name).c_str(), (root + name).c_str()) != 0)
      throw std::runtime_error(std::string("symlink ") + name + ": " + std::strerror(errno));
  port_ = FreePort();
  WriteStringToFile("ServerMode = Super\nRemoteServicePort = " + std::to_string(port_) +
                        "\nRemoteBindAddress = 127.0.0.1\nSecurityDatabase = " + root + "security3.fdb\n",
                    root + "firebird.conf");
  // The security database made through the embedded engine, which asks
  // nobody's password, with the one account the plugin signs in with.
  WriteStringToFile("create database '" + root + "security3.fdb' user 'SYSDBA';\ncreate user SYSDBA password '" +
                        password_ + "';\ncommit;\n",
                    root + "security.sql");
  const pid_t isql = Spawn({kIsql, "-q", "-i", root + "security.sql"}, ServerEnvironment(root), root + "isql.out");
  int status = 0;
  waitpid(isql, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !FileExists(root + "security3.fdb"))
    throw std::runtime_error("cannot make the security database: " + ReadFileToString(root + "isql.out"));
}

FirebirdServer::~FirebirdServer() { Kill(); }

bool FirebirdServer::Start(int seconds) {
  Kill();
  pid_ = Spawn({kServer}, ServerEnvironment(root_.path()), root_ / "server.out");
  for (int i = 0; i < seconds * 100; ++i) {
    if (const int fd = Connect(port_); fd >= 0) {
      ::close(fd);
      return true;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

void FirebirdServer::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::string FirebirdServer::DatabaseUrl(const std::string& file_name) const {
  return "localhost/" + std::to_string(port_) + ":" + root_.path() + "data/" + file_name;
}

}  // namespace zuntar::test
