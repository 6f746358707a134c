// A desktop for tests on a virtual X display: Xvfb, a window manager when
// one is installed (openbox), and a tray host (trayer), all ended with the
// object. Commands (xdotool) run against it; screenshots are taken with
// zuntar-screen-grab.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace zuntar::test {

// Whether a program is found in PATH.
bool ProgramInstalled(const std::string& name);

struct Rect {
  int x = 0, y = 0, width = 0, height = 0;
};

class VirtualDesktop {
 public:
  VirtualDesktop();  // throws when the display does not come up
  ~VirtualDesktop();
  VirtualDesktop(const VirtualDesktop&) = delete;
  VirtualDesktop& operator=(const VirtualDesktop&) = delete;

  // ":<number>"
  const std::string& display() const { return display_; }

  // Runs a shell command on this display; its standard output.
  std::string Run(const std::string& command) const;
  // The visible window whose name is exactly `name`, larger than
  // `min_size` both ways and not larger than `max_size` either way, once it
  // is there (within `limit`).
  std::optional<Rect> WaitForWindow(const std::string& name, int min_size = 4,
                                    std::chrono::milliseconds limit = std::chrono::seconds(15),
                                    int max_size = std::numeric_limits<int>::max()) const;
  // Until no visible window of that name is larger than `min_size` both ways.
  bool WaitForNoWindow(const std::string& name, std::chrono::milliseconds limit = std::chrono::seconds(10),
                       int min_size = 0) const;
  // Saves the screen (or a rectangle of it, enlarged `zoom` times) as a PNG.
  bool Screenshot(const std::string& file, std::optional<Rect> part = std::nullopt, int zoom = 1) const;

 private:
  pid_t Spawn(const std::vector<std::string>& argv, int display_fd = -1);
  std::vector<std::string> VisibleWindows(const std::string& name) const;
  // The visible windows of that name whose size is within the bounds.
  std::vector<Rect> Windows(const std::string& name, int min_size, int max_size) const;

  TempDir dir_;
  std::string display_;
  std::vector<pid_t> children_;  // last started first to end
};

}  // namespace zuntar::test
