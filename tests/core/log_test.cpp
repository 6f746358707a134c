#include "core/log.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <thread>

#include "core/process_values.h"
#include "core/settings.h"
#include "platform/file_io.h"
#include "support/temp_dir.h"

namespace zuntar {
namespace {

class Log : public ::testing::Test {
 protected:
  void SetUp() override {
    SetStartupValues(BasicStartupValues(dir_.path()));
    SetLogLevel(Settings{}.LOG_LEVEL);
  }
  std::string Read() const { return ReadFileToString(LogFileName()); }
  test::TempDir dir_;
};

TEST_F(Log, LineLayout) {
  LogEvent("started");
  LogError("broken");
  LogDebug("detail");
  const std::string text = Read();
  const std::regex layout(
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\d{3} EVENT started\r\n"
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\d{3} ERROR broken\r\n"
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\d{3} DEBUG detail\r\n");
  EXPECT_TRUE(std::regex_match(text, layout)) << text;
}

TEST_F(Log, LevelZeroDropsOnlyDebugLines) {
  SetLogLevel(0);
  LogDebug("hidden");
  LogEvent("e");
  LogError("r");
  const std::string text = Read();
  EXPECT_EQ(text.find("hidden"), std::string::npos);
  EXPECT_NE(text.find("EVENT e\r\n"), std::string::npos);
  EXPECT_NE(text.find("ERROR r\r\n"), std::string::npos);
}

TEST_F(Log, MultiLineMessageHasOneTimeStamp) {
  LogError("first\r\nsecond");
  const std::string text = Read();
  EXPECT_EQ(text.substr(24), "ERROR first\r\nsecond\r\n");
}

TEST_F(Log, MissingFolderDropsLinesSilently) {
  SetLogFileName(dir_ / "no/such/folder/x.log");
  EXPECT_NO_THROW(LogEvent("lost"));
  EXPECT_FALSE(FileExists(LogFileName()));
}

// Every line of `writers` x `lines` is present exactly once and whole.
void ExpectWholeLines(const std::string& text, int writers, int lines) {
  std::set<std::string> seen;
  size_t start = 0, count = 0;
  const std::regex layout("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\d{3} EVENT w\\d+ l\\d+ x{100}");
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = text.substr(start, end - start);
    ASSERT_TRUE(std::regex_match(line, layout)) << line;
    seen.insert(line.substr(30, line.find(' ', 34) - 30));
    ++count;
    start = end + 2;
  }
  EXPECT_EQ(count, static_cast<size_t>(writers * lines));
  EXPECT_EQ(seen.size(), static_cast<size_t>(writers * lines));
}

void WriteLines(int writer, int lines) {
  const std::string pad(100, 'x');
  for (int i = 0; i < lines; ++i) LogEvent("w" + std::to_string(writer) + " l" + std::to_string(i) + " " + pad);
}

TEST_F(Log, ConcurrentThreadsNeverInterleave) {
  constexpr int kThreads = 4, kLines = 10000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(WriteLines, t, kLines);
  for (std::thread& t : threads) t.join();
  ExpectWholeLines(Read(), kThreads, kLines);
}

TEST_F(Log, ConcurrentProcessesNeverInterleave) {
  constexpr int kProcesses = 3, kLines = 2000;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      WriteLines(p, kLines);
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  ExpectWholeLines(Read(), kProcesses, kLines);
}

// A file size limit cuts writes short as a full disk does, without a
// privileged mount: a line cut off there gets its line end from the next
// line that fits, which then stands whole on its own line.
TEST_F(Log, ALineCutShortByAFullDiskIsEndedByTheNextLine) {
  LogEvent("before");
  const size_t before = Read().size();
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto old_handler = signal(SIGXFSZ, SIG_IGN);  // the write fails instead of ending the process
  rlimit low = old;
  low.rlim_cur = before + 30;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
  LogEvent(std::string(100, 'x'));  // 30 bytes of it fit
  LogEvent("dropped");              // nothing fits
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, old_handler);
  LogEvent("after");

  const std::string text = Read();
  const std::string stamp = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\d{3} ";
  EXPECT_TRUE(std::regex_match(text, std::regex(stamp + "EVENT before\r\n" + "[^\r\n]{30}\r\n" + stamp +
                                                "EVENT after\r\n")))
      << text;
  EXPECT_EQ(text.find("dropped"), std::string::npos);
}

}  // namespace
}  // namespace zuntar
