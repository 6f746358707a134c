// The configuration before the plugin starts: the configuration file is
// read and the process gets its priority class.
#pragma once

#include "core/process_values.h"
#include "core/settings.h"

namespace zuntar {

// Loads the configuration file (a file that cannot be used gives the
// defaults, with the reason in the log), sets the log's level and applies
// STARTUPPRIORITYCLASS; the settings to put in force. Never throws: a
// failure is logged as "Startup error: " + message and start-up goes on.
Settings LoadStartupSettings(const StartupValues& values);

}  // namespace zuntar
