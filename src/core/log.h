// The plugin's log: one text file, one time-stamped line per entry.
//
// Each entry is a separate open, append and close, with the whole line in
// one write on an O_APPEND descriptor: threads and processes logging at the
// same moment never interleave or overwrite each other's lines, and nothing
// stays open between entries. Logging never fails its caller. The file is
// created with mode 0600 and written only when it is a regular file of the
// effective user, never through a symbolic link.
#pragma once

#include <string>
#include <string_view>

namespace zuntar {

void LogEvent(std::string_view text);
void LogError(std::string_view text);
// Written only when LOG_LEVEL is above 0.
void LogDebug(std::string_view text);

// "yyyy-mm-dd hh:mm:ss zzz " + text + CR LF, appended to LogFileName().
void WriteLogLine(std::string_view text);

// The time stamp of a line written now, with its trailing blank.
std::string LogTimeStamp();

}  // namespace zuntar
