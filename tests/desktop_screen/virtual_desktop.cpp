#include "virtual_desktop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace zuntar::test {
namespace {

using namespace std::chrono_literals;

std::string Capture(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  pclose(pipe);
  return out;
}

}  // namespace

bool ProgramInstalled(const std::string& name) { return !Capture("command -v " + name + " 2>/dev/null").empty(); }

VirtualDesktop::VirtualDesktop() {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) throw std::runtime_error("pipe");
  Spawn({"Xvfb", "-displayfd", "3", "-screen", "0", "1024x600x24", "-nolisten", "tcp"}, pipe_fds[1]);
  close(pipe_fds[1]);
  std::string number;
  pollfd p{pipe_fds[0], POLLIN, 0};
  char c = 0;
  while (poll(&p, 1, 10000) > 0 && read(pipe_fds[0], &c, 1) == 1 && c != '\n') number += c;
  close(pipe_fds[0]);
  if (number.empty()) throw std::runtime_error("Xvfb did not report its display");
  display_ = ":" + number;
  if (ProgramInstalled("openbox")) {
    Spawn({"openbox"});
    // Managed from the start, or the tray host's panel is placed wrongly.
    for (int i = 0; i < 100 && Run("xdotool search --name '^Openbox$'").empty(); ++i) std::this_thread::sleep_for(50ms);
  }
  Spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "28", "--SetDockType",
         "true", "--transparent", "false", "--tint", "0xd8d8d8"});
  // The tray host owns the tray selection once its panel shows.
  for (int i = 0; i < 200 && Run("xdotool search --onlyvisible --name '^panel$'").empty(); ++i)
    std::this_thread::sleep_for(50ms);
  std::this_thread::sleep_for(200ms);
}

VirtualDesktop::~VirtualDesktop() {
  for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
    kill(*it, SIGTERM);
    int status = 0;
    waitpid(*it, &status, 0);
  }
}

pid_t VirtualDesktop::Spawn(const std::vector<std::string>& argv, int display_fd) {
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::string(*e).rfind("DISPLAY=", 0) != 0) env_text.emplace_back(*e);
  if (!display_.empty()) env_text.push_back("DISPLAY=" + display_);
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (std::string& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);

  const std::string log = dir_ / (argv[0] + ".log");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (display_fd >= 0) posix_spawn_file_actions_adddup2(&actions, display_fd, 3);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
  children_.push_back(pid);
  return pid;
}

std::string VirtualDesktop::Run(const std::string& command) const {
  return Capture("DISPLAY=" + display_ + " " + command + " 2>/dev/null");
}

std::vector<std::string> VirtualDesktop::VisibleWindows(const std::string& name) const {
  // xdotool's own name search misses windows embedded in the tray host, so
  // every visible window's name is compared here.
  std::istringstream ids(Run("xdotool search --onlyvisible --name ''"));
  std::istringstream names(Run("xdotool search --onlyvisible --name '' getwindowname %@"));
  std::vector<std::string> found;
  std::string id, window_name;
  while (ids >> id && std::getline(names, window_name))
    if (window_name == name) found.push_back(id);
  return found;
}

std::vector<Rect> VirtualDesktop::Windows(const std::string& name, int min_size, int max_size) const {
  const std::regex geometry("Position: (-?\\d+),(-?\\d+)[^\\n]*\\n\\s*Geometry: (\\d+)x(\\d+)");
  std::vector<Rect> found;
  for (const std::string& id : VisibleWindows(name)) {
    std::smatch m;
    const std::string text = Run("xdotool getwindowgeometry " + id);
    if (!std::regex_search(text, m, geometry)) continue;
    const Rect r{std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4])};
    if (r.width > min_size && r.height > min_size && r.width <= max_size && r.height <= max_size)
      found.push_back(r);
  }
  return found;
}

std::optional<Rect> VirtualDesktop::WaitForWindow(const std::string& name, int min_size,
                                                  std::chrono::milliseconds limit, int max_size) const {
  const auto until = std::chrono::steady_clock::now() + limit;
  do {
    const std::vector<Rect> found = Windows(name, min_size, max_size);
    if (!found.empty()) return found.front();
    std::this_thread::sleep_for(100ms);
  } while (std::chrono::steady_clock::now() < until);
  return std::nullopt;
}

bool VirtualDesktop::WaitForNoWindow(const std::string& name, std::chrono::milliseconds limit, int min_size) const {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (min_size > 0 ? !Windows(name, min_size, std::numeric_limits<int>::max()).empty()
                      : !VisibleWindows(name).empty()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

bool VirtualDesktop::Screenshot(const std::string& file, std::optional<Rect> part, int zoom) const {
  std::string command = "DISPLAY=" + display_;
  command.append(" ").append(ZUNTAR_SCREEN_GRAB).append(" '").append(file).append("'");
  if (part)
    for (const int n : {part->x, part->y, part->width, part->height, zoom})
      command.append(" ").append(std::to_string(n));
  command.append(" >/dev/null 2>&1");
  return std::system(command.c_str()) == 0;
}

}  // namespace zuntar::test
