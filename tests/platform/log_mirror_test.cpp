// The log's copies for the journal and the terminal.
#include "platform/log_mirror.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace zuntar {
namespace {

TEST(LogMirror, TargetsFollowSystemdsVariablesAndTheTerminal) {
  EXPECT_FALSE(LogMirrorTargetsFor(nullptr, nullptr, false).journal);
  EXPECT_FALSE(LogMirrorTargetsFor("", "", false).journal);
  EXPECT_TRUE(LogMirrorTargetsFor("0123abcd", nullptr, false).journal);
  EXPECT_TRUE(LogMirrorTargetsFor(nullptr, "8:1234", false).journal);
  EXPECT_TRUE(LogMirrorTargetsFor(nullptr, nullptr, true).terminal);
  EXPECT_FALSE(LogMirrorTargetsFor("x", nullptr, false).terminal);
}

// What a child whose standard error is a terminal writes there.
std::string TerminalOutputOf(void (*child)()) {
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    dup2(STDOUT_FILENO, STDERR_FILENO);
    unsetenv("INVOCATION_ID");
    unsetenv("JOURNAL_STREAM");
    child();
    _exit(0);
  }
  std::string out;
  char buffer[512];
  for (;;) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) break;
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO once the child has gone
    out.append(buffer, static_cast<size_t>(n));
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  return out;
}

TEST(LogMirror, ATerminalGetsWholeLinesWithLineFeeds) {
  const std::string out = TerminalOutputOf([] {
    MirrorLogLine(LogMirrorLevel::kError, "ERROR Ошибка\r\nвторая строка",
                  "2026-01-02 03:04:05 006 ERROR Ошибка\r\nвторая строка");
    MirrorLogLine(LogMirrorLevel::kInfo, "EVENT b", "t EVENT b\r\n");
  });
  // The terminal itself turns LF into CR LF on output.
  EXPECT_EQ(out, "2026-01-02 03:04:05 006 ERROR Ошибка\r\nвторая строка\r\nt EVENT b\r\n");
}

TEST(LogMirror, NothingWhenStandardErrorIsNotATerminal) {
  // This test's standard error is a file or a pipe under the test runner.
  if (isatty(STDERR_FILENO)) GTEST_SKIP() << "run with standard error on a terminal";
  EXPECT_FALSE(CurrentLogMirrorTargets().terminal);
}

}  // namespace
}  // namespace zuntar
