// The plugin's lifecycle without a desktop: Start, Stop, Pause, Continue
// and Exit of the whole plugin, as the service manager's signals and the end
// of the application drive them.
//
// Start checks the GOST provider (its outcome in CSPStatus), creates the
// certificate manager, cleans the task table and closes the tasks a process
// left unfinished, starts the processing thread (where the database is
// used; the log says why when it is not) and, last, the HTTP front end.
// Failures of the provider, the manager or the database never stop Start:
// the log and CSPStatus, which PING reports, say what went wrong. Stop cancels the
// questions put to the person, waits for the processing thread, so a later
// Start never runs two threads on one queue, and frees the front end.
// Pause parks the processing thread and switches listening off; Continue
// undoes both. Exit takes everything down and, should that hang, ends the
// process after a time limit.
#pragma once

#include <memory>
#include <string>

#include "host/plugin_control.h"
#include "http/command_table.h"
#include "tasks/plugin_context.h"

namespace zuntar {

class THttpAccess;
class TProcessingMgrThread;

// Every command the plugin serves, with its handler.
CommandRegistry PluginCommands();

class HeadlessControl : public PluginControl {
 public:
  // `app_mode`: application mode rather than service mode; only then may
  // the processing thread ask the person for key media. `values`: the
  // instance's start-up values; `settings`: those read at start-up, put in
  // force.
  HeadlessControl(bool app_mode, const StartupValues& values, const Settings& settings);
  ~HeadlessControl() override;

  void Start() override;
  void Stop() override;
  void Pause() override;
  void Continue() override;
  void Exit() override;
  std::string StartProblem() const override { return start_problem_; }
  ProviderState Providers() const override { return plugin_.providers.Get(); }
  SettingsInForce& settings() override { return plugin_.settings; }
  const StartupValues& instance() const override { return plugin_.instance; }

 private:
  void PrepareDatabase(const Settings& settings);
  void StartProcessingThread();
  void StopProcessingThread();

  bool app_mode_;
  // Declared before the threads that use it, so it outlives them.
  PluginContext plugin_;
  std::unique_ptr<TProcessingMgrThread> processing_;
  std::unique_ptr<THttpAccess> http_;
  std::string start_problem_;  // UTF-8
};

// What the person is told when another program holds the port (UTF-8):
// Russian where the code page is 1251, English elsewhere.
std::string PortTakenText(bool cp1251, int port);

// The debug line that opens Start:
// "Запуск плагина в режиме <mode>,http активируется, пользователь: <user>,
// версия : <version> ..." in the ANSI code page.
std::string StartLogLine(bool app_mode, const std::string& user_name);

}  // namespace zuntar
