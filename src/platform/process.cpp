#include "platform/process.h"

#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <climits>
#include <memory>

extern char** environ;

namespace zuntar {
namespace {

// posix_spawn_file_actions_t with its destroy call.
class SpawnActions {
 public:
  SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnActions() {
    if (ok_) posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  bool ok() const { return ok_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& command_line) {
  std::vector<std::string> args;
  std::string current;
  bool in_arg = false, quoted = false;
  for (char c : command_line) {
    if (c == '"') {
      quoted = !quoted;
      in_arg = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (in_arg) args.push_back(std::move(current));
      current.clear();
      in_arg = false;
    } else {
      current += c;
      in_arg = true;
    }
  }
  if (in_arg) args.push_back(std::move(current));
  return args;
}

int RunProcess(const std::string& command_line, const std::string& working_directory) {
  const std::vector<std::string> args = SplitCommandLine(command_line);
  if (args.empty()) return 0;
  return std::max(RunProgram(args, working_directory), 0);
}

int RunProgram(const std::vector<std::string>& args, const std::string& working_directory) {
  if (args.empty()) return -1;
  std::vector<std::string> copies = args;
  std::vector<char*> argv;
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);

  SpawnActions actions;
  if (!actions.ok()) return -1;
  for (int fd = 0; fd < 3; ++fd)
    posix_spawn_file_actions_addopen(actions.get(), fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);
  if (!working_directory.empty()) posix_spawn_file_actions_addchdir_np(actions.get(), working_directory.c_str());

  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], actions.get(), nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::string ExecutablePath() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

void ReturnLargeBlocksWhenFreed() {
  constexpr int kLargeBlock = 128 * 1024;  // glibc's own starting value
  // Setting it at all keeps it from moving.
  mallopt(M_MMAP_THRESHOLD, kLargeBlock);
}

std::string ExecutableDir() {
  const std::string path = ExecutablePath();
  return path.substr(0, path.rfind('/') + 1);
}

}  // namespace zuntar
