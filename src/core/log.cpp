#include "core/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "core/process_values.h"
#include "core/settings.h"
#include "platform/date_time.h"
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

// Builds the whole line in one buffer so it reaches the file in one write.
void AppendLine(std::string_view level, std::string_view text) {
  std::string line = LogTimeStamp();
  line.reserve(line.size() + level.size() + text.size() + 2);
  line.append(level);
  line.append(text);
  line.append("\r\n");
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

void WriteLogLine(std::string_view text) { AppendLine({}, text); }

void LogEvent(std::string_view text) { AppendLine("EVENT ", text); }

void LogError(std::string_view text) { AppendLine("ERROR ", text); }

void LogDebug(std::string_view text) {
  if (LogLevel() > 0) AppendLine("DEBUG ", text);
}

}  // namespace zuntar
