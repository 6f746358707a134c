// Started from a terminal, the plugin copies its log lines there in UTF-8,
// while the file keeps code page 1251.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "plugin_sandbox.h"

namespace zuntar {
namespace {

TEST(TerminalLog, LinesReachTheTerminalInUtf8) {
  test::PluginSandbox box;
  std::vector<std::string> env = box.Environment();
  std::vector<char*> envp;
  for (std::string& e : env)
    if (e.rfind("INVOCATION_ID=", 0) != 0 && e.rfind("JOURNAL_STREAM=", 0) != 0) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string exe = box.exe();
  char* argv[] = {exe.data(), nullptr};

  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execve(exe.c_str(), argv, envp.data());
    _exit(127);
  }
  std::string out;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (out.find("Плагин запущен !") == std::string::npos && out.find("Ошибка запуска HTTP") == std::string::npos &&
         std::chrono::steady_clock::now() < until) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char buffer[1024];
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  close(master);
  EXPECT_NE(out.find(" DEBUG Запуск плагина в режиме приложения"), std::string::npos) << out;
  EXPECT_NE(out.find(" EVENT Запускается обработка HTTP запросов от абонентов ..."), std::string::npos) << out;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_NE(box.Log().find(test::Cp1251("Работа Плагина завершена")), std::string::npos);
}

}  // namespace
}  // namespace zuntar
