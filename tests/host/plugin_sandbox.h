// Runs the real ZuntarMervoPlugin executable in a private sandbox: a copy
// of the program in a folder of its own (so its configuration and log are
// private) and a private platform root (registry, units, locks).
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "support/ports.h"
#include "support/temp_dir.h"

namespace zuntar::test {

// One started program. Killed (SIGKILL) if still running when destroyed.
class PluginProcess {
 public:
  PluginProcess(pid_t pid, std::string out_file, std::string err_file)
      : pid_(pid), out_file_(std::move(out_file)), err_file_(std::move(err_file)) {}
  PluginProcess(PluginProcess&& other) noexcept;
  PluginProcess& operator=(PluginProcess&&) = delete;
  ~PluginProcess();

  pid_t pid() const { return pid_; }
  bool Running();
  // The exit code once it ended within `limit`; nothing when it still runs
  // (it keeps running) or a signal ended it.
  std::optional<int> WaitExit(std::chrono::milliseconds limit);
  void Signal(int sig) const { ::kill(pid_, sig); }
  // SIGTERM and the exit code within `limit`.
  std::optional<int> Terminate(std::chrono::milliseconds limit = std::chrono::seconds(10));

  std::string Stdout() const;
  std::string Stderr() const;

 private:
  pid_t pid_;
  bool reaped_ = false;
  std::optional<int> code_;
  std::string out_file_, err_file_;
};

class PluginSandbox {
 public:
  // `executable`: the program to copy in (the versioned build by default).
  explicit PluginSandbox(const std::string& executable = ZUNTAR_PLUGIN_EXE);

  const std::string& exe() const { return exe_; }
  std::string exe_dir() const { return exe_dir_.path(); }
  std::string root() const { return root_.path(); }
  std::string unit_dir() const { return root_ / "systemd"; }
  std::string unit_file() const { return root_ / "systemd/ZuntarMervoPlugin.service"; }
  std::string log_file() const { return exe_dir_ / "ZuntarMervoPlugin.log"; }
  std::string config_file() const { return exe_dir_ / "ZuntarMervoPlugin.ini"; }

  // Extra environment entries ("NAME=value") for every later start; they
  // win over the sandbox's own.
  void AddEnv(std::string entry) { extra_env_.push_back(std::move(entry)); }
  // Later starts run the program as this user and group (setpriv; the test
  // must be root), with no supplementary groups.
  void RunAs(uid_t uid) { run_as_ = uid; }

  // The environment of a start: the extra entries, the sandbox's own (a
  // private platform root, a Russian locale, Qt's offscreen platform), then
  // the test's.
  std::vector<std::string> Environment() const;

  PluginProcess Start(const std::vector<std::string>& args);
  // Starts and waits for the end: exit code (-1 when it did not end in time).
  int Run(const std::vector<std::string>& args, std::string* out = nullptr, std::string* err = nullptr);

  // The log file, empty when missing.
  std::string Log() const;
  // Waits until the log holds `text` (bytes as written) at least `count` times.
  bool WaitForLog(const std::string& text, int count = 1,
                  std::chrono::milliseconds limit = std::chrono::seconds(15)) const;
  int CountInLog(const std::string& text) const;
  // Runs zuntar-certtool on the sandbox's platform tree: its exit code,
  // with its output in `out`.
  int CertTool(const std::string& args, std::string* out = nullptr) const;
  // The provider module of this build, registered in the sandbox's registry.
  void RegisterProvider() const;

  // Waits until Start has ended: the plugin serves HTTP, or says why it cannot
  // (another sandbox may hold the default port).
  bool WaitForStartEnd(std::chrono::milliseconds limit = std::chrono::seconds(15)) const;

 private:
  TempDir root_;
  TempDir exe_dir_;
  std::string exe_;
  std::vector<std::string> extra_env_;
  std::optional<uid_t> run_as_;
  int runs_ = 0;
};

// UTF-8 text in code page 1251, as the plugin writes its log under a
// Russian locale.
std::string Cp1251(const std::string& utf8);

// "Запуск плагина в режиме приложения" (or "сервиса") in code page 1251.
std::string StartLine(bool app_mode);

}  // namespace zuntar::test
