#include "host/run_modes.h"

#include <signal.h>

#include "host/control_signals.h"
#include "host/exit_watchdog.h"
#include "host/unhandled.h"
#include "platform/service_manager.h"

namespace zuntar {

int RunServiceMode(PluginControl& control) {
  RunGuarded([&] { control.Start(); });
  // The service reports its start as successful whatever Start met.
  NotifyServiceManager("READY=1\nSTATUS=Running");
  for (;;) {
    switch (WaitForControlSignal()) {
      case SIGTERM:
      case SIGINT:
        NotifyServiceManager("STOPPING=1");
        ArmExitWatchdog(kOrderlyEndLimit);  // the service ends with this stop
        RunGuarded([&] { control.Stop(); });
        return 0;
      case SIGUSR1:
        RunGuarded([&] { control.Pause(); });
        NotifyServiceManager("STATUS=Paused");
        break;
      case SIGUSR2:
        RunGuarded([&] { control.Continue(); });
        NotifyServiceManager("STATUS=Running");
        break;
      default:
        break;  // SIGHUP: a service has no terminal session to lose
    }
  }
}

int RunApplicationMode(PluginControl& control) {
  RunGuarded([&] { control.Start(); });
  for (;;) {
    switch (WaitForControlSignal()) {
      case SIGTERM:
      case SIGINT:
      case SIGHUP:
        RunGuarded([&] { control.Exit(); });
        return 0;
      default:
        break;  // pause and continue belong to the service
    }
  }
}

}  // namespace zuntar
