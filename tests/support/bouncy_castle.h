// Runs the Bouncy Castle helper (tests/interop/ZuntarBouncyCastle.java),
// the second GOST implementation of the interoperability tests. The suite
// defines ZUNTAR_JAVA and ZUNTAR_BC_CLASSPATH (zuntar_use_bouncy_castle in
// tests/CMakeLists.txt); both are empty where the machine has no Java.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace zuntar::test {

inline bool HaveBouncyCastle() { return std::string(ZUNTAR_JAVA).size() > 0; }

// Exit status (-1 when it did not exit), with standard output and error
// in `out`.
inline int BouncyCastle(const std::string& args, std::string* out = nullptr) {
  const std::string command =
      std::string(ZUNTAR_JAVA) + " -cp " + ZUNTAR_BC_CLASSPATH + " ZuntarBouncyCastle " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
  const int status = pclose(pipe);
  if (out != nullptr) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace zuntar::test

#define SKIP_WITHOUT_JAVA() \
  if (!::zuntar::test::HaveBouncyCastle()) GTEST_SKIP() << "no Java here: the Bouncy Castle checks are skipped"
