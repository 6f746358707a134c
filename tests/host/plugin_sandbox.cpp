#include "plugin_sandbox.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "core/utf.h"
#include "platform/code_page.h"
#include "platform/file_io.h"

extern char** environ;

namespace zuntar::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string ReadOrEmpty(const std::string& file) {
  try {
    return ReadFileToString(file);
  } catch (const std::exception&) {
    return {};
  }
}

// The test's environment without the variables a sandbox sets itself.
std::vector<std::string> BaseEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    // FIREBIRD: a test that opened a database itself must not hand its
    // engine root to the program.
    if (name == "ZUNTAR_PLATFORM_ROOT" || name == "NOTIFY_SOCKET" || name == "LC_ALL" || name == "LC_CTYPE" ||
        name == "LANG" || name == "FIREBIRD" || name == "FIREBIRD_LOCK")
      continue;
    env.push_back(entry);
  }
  return env;
}

}  // namespace

PluginProcess::PluginProcess(PluginProcess&& other) noexcept
    : pid_(other.pid_), reaped_(other.reaped_), code_(other.code_),
      out_file_(std::move(other.out_file_)), err_file_(std::move(other.err_file_)) {
  other.reaped_ = true;
}

PluginProcess::~PluginProcess() {
  if (reaped_) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
}

bool PluginProcess::Running() {
  if (reaped_) return false;
  WaitExit(0ms);
  return !reaped_;
}

std::optional<int> PluginProcess::WaitExit(std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!reaped_) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      reaped_ = true;
      if (WIFEXITED(status)) code_ = WEXITSTATUS(status);
      break;
    }
    if (std::chrono::steady_clock::now() >= until) break;
    std::this_thread::sleep_for(5ms);
  }
  return code_;
}

std::optional<int> PluginProcess::Terminate(std::chrono::milliseconds limit) {
  Signal(SIGTERM);
  return WaitExit(limit);
}

std::string PluginProcess::Stdout() const { return ReadOrEmpty(out_file_); }
std::string PluginProcess::Stderr() const { return ReadOrEmpty(err_file_); }

PluginSandbox::PluginSandbox(const std::string& executable) {
  exe_ = exe_dir_ / "ZuntarMervoPlugin";
  std::error_code ec;
  fs::create_hard_link(executable, exe_, ec);
  if (ec) fs::copy_file(executable, exe_);
  fs::create_directories(unit_dir());
}

std::vector<std::string> PluginSandbox::Environment() const {
  // Extra entries come first: the first of two entries of one name counts.
  std::vector<std::string> env = extra_env_;
  env.push_back("ZUNTAR_PLATFORM_ROOT=" + root_.path());
  env.push_back("LC_ALL=ru_RU.UTF-8");  // code page 1251: the Russian texts and the database
  // No tray icon or question on the desktop of whoever runs the tests.
  env.push_back("QT_QPA_PLATFORM=offscreen");
  for (std::string& e : BaseEnvironment()) env.push_back(std::move(e));
  return env;
}

PluginProcess PluginSandbox::Start(const std::vector<std::string>& args) {
  const int n = ++runs_;
  const std::string out = root_ / ("out" + std::to_string(n));
  const std::string err = root_ / ("err" + std::to_string(n));

  std::vector<std::string> env = Environment();
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::vector<std::string> argv_text{exe_};
  if (run_as_) {
    const std::string id = std::to_string(*run_as_);
    argv_text = {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "--", exe_};
  }
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&actions, "/");  // the program must not depend on its working folder
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv_text[0].c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(rc));
  return PluginProcess(pid, out, err);
}

int PluginSandbox::Run(const std::vector<std::string>& args, std::string* out, std::string* err) {
  PluginProcess p = Start(args);
  const std::optional<int> code = p.WaitExit(20s);
  if (out != nullptr) *out = p.Stdout();
  if (err != nullptr) *err = p.Stderr();
  return code.value_or(-1);
}

std::string PluginSandbox::Log() const { return ReadOrEmpty(log_file()); }

int PluginSandbox::CountInLog(const std::string& text) const {
  const std::string log = Log();
  int count = 0;
  for (size_t pos = log.find(text); pos != std::string::npos; pos = log.find(text, pos + 1)) ++count;
  return count;
}

bool PluginSandbox::WaitForLog(const std::string& text, int count, std::chrono::milliseconds limit) const {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (CountInLog(text) < count) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

int PluginSandbox::CertTool(const std::string& args, std::string* out) const {
  const std::string command =
      "ZUNTAR_PLATFORM_ROOT='" + root_.path() + "' " + ZUNTAR_TEST_CERTTOOL + " " + args + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
  const int status = ::pclose(pipe);
  if (out != nullptr) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void PluginSandbox::RegisterProvider() const {
  std::string out;
  if (CertTool(std::string("register-provider --module ") + ZUNTAR_TEST_CSP_MODULE, &out) != 0)
    throw std::runtime_error("register-provider failed: " + out);
}

bool PluginSandbox::WaitForStartEnd(std::chrono::milliseconds limit) const {
  const std::string started = Cp1251("Плагин запущен !"), failed = Cp1251("Ошибка запуска HTTP: ");
  const auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const std::string log = Log();
    if (log.find(started) != std::string::npos || log.find(failed) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(10ms);
  }
}

std::string Cp1251(const std::string& utf8) { return CodePageFromWide(kCodePage1251, WideFromUtf8(utf8)); }

std::string StartLine(bool app_mode) {
  return Cp1251(std::string("Запуск плагина в режиме ") + (app_mode ? "приложения" : "сервиса"));
}

}  // namespace zuntar::test
