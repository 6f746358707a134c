// The plugin's control before the full start sequence exists: Start checks
// the GOST provider, creates the certificate manager and brings up the HTTP
// front end; Stop and Exit cancel the questions put to the person and take
// the front end down; Pause and Continue switch its listening off and on.
// It keeps the process's shape (start-up, run mode, orderly end) complete
// until the real lifecycle takes its place.
#pragma once

#include <memory>
#include <string>

#include "host/plugin_control.h"
#include "http/command_table.h"

namespace zuntar {

class THttpAccess;

// Every command the plugin serves, with its handler.
CommandRegistry PluginCommands();

class HeadlessControl : public PluginControl {
 public:
  // `app_mode`: application mode rather than service mode.
  explicit HeadlessControl(bool app_mode);
  ~HeadlessControl() override;

  void Start() override;
  void Stop() override;
  void Pause() override;
  void Continue() override;
  void Exit() override;

 private:
  bool app_mode_;
  std::unique_ptr<THttpAccess> http_;
};

// The debug line that opens Start:
// "Запуск плагина в режиме <mode>,http активируется, пользователь: <user>,
// версия : <version> ..." in the ANSI code page.
std::string StartLogLine(bool app_mode);

}  // namespace zuntar
