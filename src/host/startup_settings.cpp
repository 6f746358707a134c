#include "host/startup_settings.h"

#include <exception>
#include <string>

#include "core/log.h"
#include "core/process_values.h"
#include "core/settings.h"
#include "platform/user_account.h"

namespace zuntar {

Settings LoadStartupSettings(const StartupValues& values) {
  Settings settings;
  try {
    const LoadedSettings loaded = LoadSettings(values.ConfigFileName, values.DataDir);
    settings = loaded.settings;
    SetLogLevel(settings.LOG_LEVEL);
    if (!loaded.problem.empty())
      LogError("Startup error: the configuration file \"" + values.ConfigFileName + "\" is ignored: " + loaded.problem);
    // An unknown class or a refused change leaves the priority as it is.
    SetPriorityClass(static_cast<unsigned>(settings.STARTUPPRIORITYCLASS));
  } catch (const std::exception& e) {
    LogError(std::string("Startup error: ") + e.what());
  }
  return settings;
}

}  // namespace zuntar
