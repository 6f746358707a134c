// The plugin's control while it has no work to start: every operation only
// writes its log line. It keeps the process's shape (start-up, run mode,
// orderly end) complete until the real start sequence takes its place.
#pragma once

#include <string>

#include "host/plugin_control.h"

namespace zuntar {

class HeadlessControl : public PluginControl {
 public:
  // `app_mode`: application mode rather than service mode.
  explicit HeadlessControl(bool app_mode) : app_mode_(app_mode) {}

  void Start() override;
  void Stop() override;
  void Pause() override;
  void Continue() override;
  void Exit() override;

 private:
  bool app_mode_;
};

// The debug line that opens Start:
// "Запуск плагина в режиме <mode>,http активируется, пользователь: <user>,
// версия : <version> ..." in the ANSI code page.
std::string StartLogLine(bool app_mode);

}  // namespace zuntar
