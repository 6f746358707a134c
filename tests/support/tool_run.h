// Runs zuntar-certtool with a command line and collects its output. The
// suite defines ZUNTAR_TEST_CERTTOOL (zuntar_use_test_pki in
// tests/CMakeLists.txt).
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace zuntar::test {

struct ToolRun {
  int status;       // exit code, -1 when the tool did not exit normally
  std::string out;  // standard output and standard error together
};

// A shell command line.
inline ToolRun Command(const std::string& command_line) {
  const std::string command = command_line + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ToolRun run{-1, {}};
  if (pipe == nullptr) return run;
  char buffer[4096];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) run.out.append(buffer, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

inline ToolRun Tool(const std::string& args) { return Command(std::string(ZUNTAR_TEST_CERTTOOL) + " " + args); }

}  // namespace zuntar::test
