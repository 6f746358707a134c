#include "host/run_modes.h"

#include <signal.h>

#include <exception>
#include <string>

#include "core/log.h"
#include "host/control_signals.h"
#include "host/exit_watchdog.h"
#include "platform/exception.h"
#include "platform/service_manager.h"

namespace zuntar {
namespace {

// The last line of defence around a control operation: whatever escapes it
// is logged and the process goes on serving.
template <typename Operation>
void Guarded(Operation operation) {
  try {
    operation();
  } catch (const Exception& e) {
    LogError(std::string("Unhandled exception ") + e.ClassName() + " " + e.what());
  } catch (const std::exception& e) {
    LogError(std::string("Unhandled exception Exception ") + e.what());
  }
}

}  // namespace

int RunServiceMode(PluginControl& control) {
  Guarded([&] { control.Start(); });
  // The service reports its start as successful whatever Start met.
  NotifyServiceManager("READY=1\nSTATUS=Running");
  for (;;) {
    switch (WaitForControlSignal()) {
      case SIGTERM:
      case SIGINT:
        NotifyServiceManager("STOPPING=1");
        ArmExitWatchdog(kOrderlyEndLimit);  // the service ends with this stop
        Guarded([&] { control.Stop(); });
        return 0;
      case SIGUSR1:
        Guarded([&] { control.Pause(); });
        NotifyServiceManager("STATUS=Paused");
        break;
      case SIGUSR2:
        Guarded([&] { control.Continue(); });
        NotifyServiceManager("STATUS=Running");
        break;
      default:
        break;  // SIGHUP: a service has no terminal session to lose
    }
  }
}

int RunApplicationMode(PluginControl& control) {
  Guarded([&] { control.Start(); });
  for (;;) {
    switch (WaitForControlSignal()) {
      case SIGTERM:
      case SIGINT:
      case SIGHUP:
        Guarded([&] { control.Exit(); });
        return 0;
      default:
        break;  // pause and continue belong to the service
    }
  }
}

}  // namespace zuntar
