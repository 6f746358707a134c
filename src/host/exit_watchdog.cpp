#include "host/exit_watchdog.h"

#include <unistd.h>

#include <string>
#include <thread>

#include "core/log.h"

namespace zuntar {

void ArmExitWatchdog(std::chrono::milliseconds limit) {
  std::thread([limit] {
    std::this_thread::sleep_for(limit);
    LogError("The plugin did not end within " + std::to_string(limit.count()) + " ms; the process ends now");
    ::_exit(0);
  }).detach();
}

}  // namespace zuntar
