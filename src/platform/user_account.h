// The account the process runs under, and its scheduling priority.
#pragma once

#include <optional>
#include <string>

namespace zuntar {

// The user name of the local system account (the platform's "SYSTEM").
inline constexpr char kLocalSystemUserName[] = "root";
// How the service manager names that account in a service's configuration.
inline constexpr char kLocalSystemAccount[] = "LocalSystem";

// The account name of the effective user, at most 255 characters; the
// numeric uid when the account has no name.
std::string ProcessUserName();

// Priority classes of the platform.
constexpr unsigned kIdlePriorityClass = 64;
constexpr unsigned kBelowNormalPriorityClass = 16384;
constexpr unsigned kNormalPriorityClass = 32;
constexpr unsigned kAboveNormalPriorityClass = 32768;
constexpr unsigned kHighPriorityClass = 128;
constexpr unsigned kRealtimePriorityClass = 256;

// The nice value of a priority class; nothing for a value that is not one.
std::optional<int> NiceValueForPriorityClass(unsigned priority_class);

// Gives every thread of the process the nice value of the class; threads
// started later inherit it. False for an unknown class or when the system
// refuses (raising priority needs privileges); callers ignore failures, as
// the program always has.
bool SetPriorityClass(unsigned priority_class);

}  // namespace zuntar
