// Child processes and facts about the running process.
#pragma once

#include <string>
#include <vector>

namespace zuntar {

// Splits a command line the way Windows programs see it: blanks separate
// arguments, double quotes group blanks into one argument and are removed.
std::vector<std::string> SplitCommandLine(const std::string& command_line);

// Runs the command line in `working_directory` (the current one when empty)
// with no inherited descriptors (standard streams go to /dev/null), waits
// for it without limit and returns its exit code; 128 + the signal number
// when a signal ended it; 0 when it cannot be started.
int RunProcess(const std::string& command_line, const std::string& working_directory);

// The same for an argument list passed as it is (args[0] is looked up in
// PATH), for arguments that hold blanks or quotes; -1 when it cannot be
// started.
int RunProgram(const std::vector<std::string>& args, const std::string& working_directory);

// Makes every block of 128 KiB or more (request bodies, replies, task
// listings) a mapping of its own, handed back to the system when it is
// freed. glibc otherwise raises that size to the largest block freed so far,
// and blocks below it then stay with the process after use: each large
// reply built on another thread's heap leaves the resident size higher.
void ReturnLargeBlocksWhenFreed();

// Folder of the running executable with a trailing '/'.
std::string ExecutableDir();
// Full path of the running executable.
std::string ExecutablePath();

}  // namespace zuntar
