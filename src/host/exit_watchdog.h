// The last resort of an orderly end that hangs: after a time limit the
// process ends at once.
#pragma once

#include <chrono>

namespace zuntar {

// How long Exit, or the stop that ends the service, may take.
inline constexpr std::chrono::milliseconds kOrderlyEndLimit{15000};

// Ends the process with exit code 0 once `limit` has passed, unless it has
// ended by then.
void ArmExitWatchdog(std::chrono::milliseconds limit);

}  // namespace zuntar
