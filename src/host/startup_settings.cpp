#include "host/startup_settings.h"

#include <exception>
#include <string>

#include "core/log.h"
#include "core/process_values.h"
#include "core/settings.h"
#include "platform/user_account.h"

namespace zuntar {

void ApplyStartupSettings() {
  try {
    const std::string problem = LoadSettings();
    if (!problem.empty())
      LogError("Startup error: the configuration file \"" + Startup().ConfigFileName + "\" is ignored: " + problem);
    // An unknown class or a refused change leaves the priority as it is.
    SetPriorityClass(static_cast<unsigned>(CurrentSettings().STARTUPPRIORITYCLASS));
  } catch (const std::exception& e) {
    LogError(std::string("Startup error: ") + e.what());
  }
}

}  // namespace zuntar
