// A copy of every log line for the people reading this machine's logs: the
// log file keeps the program's single-byte code page (pages read it back),
// so the lines are also written in UTF-8 to the systemd journal when
// systemd runs the process, and to standard error when that is a terminal.
#pragma once

#include <string_view>

namespace zuntar {

enum class LogMirrorLevel { kInfo, kError, kDebug };

struct LogMirrorTargets {
  bool journal = false;   // systemd started the process
  bool terminal = false;  // standard error is a terminal
};

// Where a process with this environment and standard error writes its copies:
// the journal when systemd gave it INVOCATION_ID or JOURNAL_STREAM.
LogMirrorTargets LogMirrorTargetsFor(const char* invocation_id, const char* journal_stream, bool stderr_is_terminal);

// The targets of this process, found once.
const LogMirrorTargets& CurrentLogMirrorTargets();

// Copies one entry (UTF-8): `message` is the level word and text for the
// journal (which keeps its own time), `line` the whole line for the
// terminal. Line breaks may be CR LF; the copies use LF. Never fails.
void MirrorLogLine(LogMirrorLevel level, std::string_view message, std::string_view line);

}  // namespace zuntar
