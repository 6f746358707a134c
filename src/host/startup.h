// The first steps of start-up: the process-wide values every other part
// reads, computed in a fixed order before any thread exists.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/process_values.h"
#include "host/command_line.h"

namespace zuntar {

// The service's name and the title shown for it.
inline constexpr char kServiceName[] = "ZuntarMervoPlugin";
inline constexpr char kServiceDisplayName[] = "ЗУНТАР.Плагин";  // UTF-8

// IsCP1251, ExeDir, PluginVersion from the executable's version record,
// InstanceName and MutexName from the command line, UserName and
// IsServiceRun from the installed service's account, then the instance's
// files (instance_files.h). Reads only; nothing is taken or written.
StartupValues ComputeStartupValues(const CommandLine& command_line);

// Whether a process of `user_name` (UTF-8) runs as the installed service,
// given the service's configured account (nothing when the service is not
// installed): the names are equal, or the account is ".\" + the user name,
// or the user is the localised system account; all without regard to case.
// "LocalSystem" stands for the local system account's user name.
bool IsServiceAccount(std::string_view user_name, const std::optional<std::string>& account);

}  // namespace zuntar
