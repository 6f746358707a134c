// Puts the configuration in force before the plugin starts: the
// configuration file is read and the process gets its priority class.
#pragma once

namespace zuntar {

// Loads the configuration file (a file that cannot be used leaves the
// defaults, with the reason in the log) and applies STARTUPPRIORITYCLASS.
// Never throws: a failure is logged as "Startup error: " + message and
// start-up goes on.
void ApplyStartupSettings();

}  // namespace zuntar
