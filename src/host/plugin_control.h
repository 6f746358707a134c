// The control operations of the whole plugin, as the two run modes drive
// them: the service manager's requests in service mode, start-up and the
// end of the session in application mode.
//
// Each operation handles its own failures (they are logged and the plugin
// goes on), so the run modes never see an exception from them.
#pragma once

#include <string>

#include "certs/provider_detection.h"
#include "core/process_values.h"
#include "core/settings.h"

namespace zuntar {

class PluginControl {
 public:
  virtual ~PluginControl() = default;

  virtual void Start() = 0;
  virtual void Stop() = 0;
  virtual void Pause() = 0;
  virtual void Continue() = 0;
  // The end of the application: take everything down and let the process end.
  virtual void Exit() = 0;
  // Why the last Start left the plugin not serving, for the person (UTF-8);
  // empty when it served or nothing particular is known.
  virtual std::string StartProblem() const { return {}; }
  // The GOST providers the last Start found.
  virtual ProviderState Providers() const { return {}; }
  // The settings in force, which the settings window shows and changes.
  virtual SettingsInForce& settings() = 0;
  // The instance's start-up values (its files and name).
  virtual const StartupValues& instance() const = 0;
};

}  // namespace zuntar
