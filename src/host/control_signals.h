// The signals through which the outside world controls the running
// plugin: SIGTERM (the service manager's stop, or the end of the
// application), SIGINT (Ctrl+C), SIGHUP (the end of the terminal session),
// SIGUSR1 and SIGUSR2 (pause and continue of the service).
//
// They are blocked in every thread and taken one at a time by the main
// thread, so no handler ever runs in the middle of other code.
#pragma once

namespace zuntar {

// Blocks the control signals. Called at the very start, before any thread
// exists, so every later thread inherits the mask.
void BlockControlSignals();

// Waits for the next control signal and returns its number.
int WaitForControlSignal();

// For an event loop that waits on descriptors: a descriptor that becomes
// readable when a control signal is pending (-1 on failure), and the
// signal taken from it (0 when none was pending).
int OpenControlSignalDescriptor();
int TakeControlSignal(int descriptor);

}  // namespace zuntar
