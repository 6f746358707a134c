#include "core/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
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

// Set when a line was cut short (a full disk, a file size limit): the piece
// has no line end, so the next line written starts with one instead of
// running on from it. The log's own state, shared by every thread's entries.
std::atomic<bool> g_line_cut{false};

// The log, private to the user; never written through a symbolic link, nor
// into a file that another user put in its place (a log folder that others
// may write must not hand them the program's lines or its rights).
UniqueFd OpenLogFile() {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  UniqueFd fd(::open(LogFileName().c_str(), kFlags, 0600));
  struct stat st {};
  if (fd.valid() && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid())) fd.reset();
  return fd;
}

// Writes the parts in order, going on after short writes. The bytes written
// in all.
size_t WriteParts(int fd, iovec* part, int count) {
  size_t written = 0;
  while (count > 0) {
    const ssize_t n = ::writev(fd, part, count);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
    auto done = static_cast<size_t>(n);
    for (; count > 0 && done >= part->iov_len; ++part, --count) done -= part->iov_len;
    if (count > 0) {
      part->iov_base = static_cast<char*>(part->iov_base) + done;
      part->iov_len -= done;
    }
  }
  return written;
}

// The line's parts go out in one gathering write, which appends them as one
// piece; the text is never copied (a logged request body may be large).
void AppendLine(LogMirrorLevel mirror_level, std::string_view level, std::string_view text) {
  const std::string stamp = LogTimeStamp();
  Mirror(mirror_level, stamp, level, text);
  UniqueFd fd = OpenLogFile();
  if (!fd.valid()) return;  // no folder, no rights, not our file: the entry is dropped
  const bool after_cut = g_line_cut.exchange(false);
  const std::string_view lead = after_cut ? "\r\n" : "";
  iovec parts[] = {{const_cast<char*>(lead.data()), lead.size()},
                   {const_cast<char*>(stamp.data()), stamp.size()},
                   {const_cast<char*>(level.data()), level.size()},
                   {const_cast<char*>(text.data()), text.size()},
                   {const_cast<char*>("\r\n"), 2}};
  const size_t size = lead.size() + stamp.size() + level.size() + text.size() + 2;
  const size_t written = WriteParts(fd.get(), parts, 5);
  // Nothing written leaves the file as it was: a cut before stays pending.
  if (written < size && (written > 0 || after_cut)) g_line_cut.store(true);
}

}  // namespace

void WriteLogLine(std::string_view text) { AppendLine(LogMirrorLevel::kInfo, {}, text); }

void LogEvent(std::string_view text) { AppendLine(LogMirrorLevel::kInfo, "EVENT ", text); }

void LogError(std::string_view text) { AppendLine(LogMirrorLevel::kError, "ERROR ", text); }

void LogDebug(std::string_view text) {
  if (LogLevel() > 0) AppendLine(LogMirrorLevel::kDebug, "DEBUG ", text);
}

}  // namespace zuntar
