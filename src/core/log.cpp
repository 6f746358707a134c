#include "core/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "core/process_values.h"
#include "core/settings.h"
#include "core/utf.h"
#include "platform/date_time.h"
#include "platform/log_mirror.h"
#include "platform/unique_fd.h"

namespace zuntar {

std::string LogTimeStamp() {
  const CalendarTime t = LocalNow();
  char buffer[40];
  const int n = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d %03d ", t.year, t.month, t.day,
                              t.hour, t.minute, t.second, t.millisecond);
  return std::string(buffer, static_cast<size_t>(n));
}

namespace {

// The copy for the journal and the terminal, in UTF-8.
void Mirror(LogMirrorLevel mirror_level, std::string_view stamp, std::string_view level, std::string_view text) {
  const LogMirrorTargets& targets = CurrentLogMirrorTargets();
  if (!targets.journal && !targets.terminal) return;
  std::string message(level);
  message.append(text);
  const std::string utf8 = Utf8FromAnsi(message);
  MirrorLogLine(mirror_level, utf8, std::string(stamp) + utf8);
}

// Builds the whole line in one buffer so it reaches the file in one write.
void AppendLine(LogMirrorLevel mirror_level, std::string_view level, std::string_view text) {
  std::string line = LogTimeStamp();
  const size_t stamp_size = line.size();
  line.reserve(line.size() + level.size() + text.size() + 2);
  line.append(level);
  line.append(text);
  line.append("\r\n");
  Mirror(mirror_level, std::string_view(line).substr(0, stamp_size), level, text);
  UniqueFd fd(::open(LogFileName().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!fd.valid()) return;  // no folder, no rights: the entry is dropped
  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(fd.get(), data, left);
    if (n <= 0) return;
    data += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

void WriteLogLine(std::string_view text) { AppendLine(LogMirrorLevel::kInfo, {}, text); }

void LogEvent(std::string_view text) { AppendLine(LogMirrorLevel::kInfo, "EVENT ", text); }

void LogError(std::string_view text) { AppendLine(LogMirrorLevel::kError, "ERROR ", text); }

void LogDebug(std::string_view text) {
  if (LogLevel() > 0) AppendLine(LogMirrorLevel::kDebug, "DEBUG ", text);
}

}  // namespace zuntar
