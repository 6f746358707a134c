// INSTALL and UNINSTALL: registering or removing the service, with the
// result printed for the person who asked (nothing with SILENT).
#pragma once

namespace zuntar {

// Registers the service for this executable (`install`) or removes it.
// Returns the process's exit code: 0 when it was done, 1 when not.
int RunServiceSetup(bool install, bool silent);

}  // namespace zuntar
