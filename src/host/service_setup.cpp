#include "host/service_setup.h"

#include <cstdio>
#include <string>

#include "host/startup.h"
#include "platform/process.h"
#include "platform/service_manager.h"

namespace zuntar {

int RunServiceSetup(bool install, bool silent) {
  const std::string unit = ServiceUnitFile(kServiceName);
  try {
    if (install)
      InstallService(ServiceDefinition{kServiceName, kServiceDisplayName, ExecutablePath()});
    else
      RemoveService(kServiceName);
  } catch (const EServiceError& e) {
    if (!silent)
      std::fprintf(stderr, "%s: the service was not %s: %s\n", kServiceName, install ? "installed" : "removed",
                   e.what());
    return 1;
  }
  const bool reloaded = ReloadServiceManager();
  if (!silent) {
    std::printf("%s: the service was %s (%s)\n", kServiceName, install ? "installed" : "removed", unit.c_str());
    if (!reloaded)
      std::fprintf(stderr, "%s: systemctl daemon-reload failed; run it before using the service\n", kServiceName);
  }
  return 0;
}

}  // namespace zuntar
