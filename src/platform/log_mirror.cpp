#include "platform/log_mirror.h"

#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace zuntar {
namespace {

int Priority(LogMirrorLevel level) {
  switch (level) {
    case LogMirrorLevel::kError:
      return LOG_ERR;
    case LogMirrorLevel::kDebug:
      return LOG_DEBUG;
    case LogMirrorLevel::kInfo:
      break;
  }
  return LOG_INFO;
}

std::string WithoutCarriageReturns(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

bool IsSet(const char* value) { return value != nullptr && *value != '\0'; }

}  // namespace

LogMirrorTargets LogMirrorTargetsFor(const char* invocation_id, const char* journal_stream, bool stderr_is_terminal) {
  LogMirrorTargets targets;
  targets.journal = IsSet(invocation_id) || IsSet(journal_stream);
  targets.terminal = stderr_is_terminal;
  return targets;
}

const LogMirrorTargets& CurrentLogMirrorTargets() {
  static const LogMirrorTargets targets =
      LogMirrorTargetsFor(std::getenv("INVOCATION_ID"), std::getenv("JOURNAL_STREAM"), ::isatty(STDERR_FILENO) == 1);
  return targets;
}

void MirrorLogLine(LogMirrorLevel level, std::string_view message, std::string_view line) {
  const LogMirrorTargets& targets = CurrentLogMirrorTargets();
  if (targets.journal) sd_journal_print(Priority(level), "%s", WithoutCarriageReturns(message).c_str());
  if (targets.terminal) {
    std::string text = WithoutCarriageReturns(line);
    if (text.empty() || text.back() != '\n') text += '\n';
    // One write, so lines of several threads do not interleave.
    const ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
    (void)ignored;
  }
}

}  // namespace zuntar
