// The program's main block: start-up, the single-instance lock, then the
// service set-up switches, service mode or application mode.
#pragma once

namespace zuntar {

// Runs the whole program and returns its exit code.
int RunProgram(int argc, const char* const* argv);

}  // namespace zuntar
