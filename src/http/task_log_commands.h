// The two diagnostic commands over the plugin's records: GETLOGINFO lists
// the stored crypto tasks (one of them with its data), GETLOGFILE sends the
// log file.
#pragma once

#include <cstddef>
#include <string>

#include "http/command_table.h"
#include "platform/date_time.h"

namespace zuntar {

void RegisterTaskLogCommands(CommandRegistry& registry);

// GETLOGFILE sends at most this much: the end of a longer log.
inline constexpr size_t kLogFileReplyLimit = size_t{64} << 20;

// "yyyy-mm-dd hh:nn:ss"; zero is 1899-12-30 00:00:00.
std::string FormatTaskTime(DateTime value);

// The listing's labels: "New", "Wait", "Success", "Error" and the task
// types' labels; other values as their number.
std::string TaskStatusLabel(int status);
std::string TaskTypeLabel(int type);

}  // namespace zuntar
