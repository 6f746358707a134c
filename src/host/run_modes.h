// The two lives of the process after start-up. Both run on the main thread
// until the plugin ends and return the process's exit code.
#pragma once

#include "host/plugin_control.h"

namespace zuntar {

// Service mode: Start as the service manager's start request, readiness
// reported to it; SIGTERM or SIGINT is the stop request, SIGUSR1 pause and
// SIGUSR2 continue.
int RunServiceMode(PluginControl& control);

// Application mode without a desktop: Start at once; SIGTERM, SIGINT or
// SIGHUP (the session ends) lead to Exit.
int RunApplicationMode(PluginControl& control);

// How the program lives in application mode: RunApplicationMode, or the
// desktop's tray application.
using ApplicationModeRunner = int (*)(PluginControl& control);

}  // namespace zuntar
