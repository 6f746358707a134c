// The program's main block: start-up, the single-instance lock, then the
// service set-up switches, service mode or application mode.
#pragma once

#include "host/run_modes.h"

namespace zuntar {

// Runs the whole program and returns its exit code. Application mode runs
// through `application_mode`.
int RunProgram(int argc, const char* const* argv, ApplicationModeRunner application_mode = RunApplicationMode);

}  // namespace zuntar
