#include "platform/desktop_viewer.h"

#include "platform/process.h"

namespace zuntar {
namespace {

// $1 the file, $2 the seconds to keep it. The outer shell ends at once with
// 0, or with 127 when there is no xdg-open; the background part, reparented
// to init, launches the viewer and removes the file later.
constexpr char kLaunchScript[] =
    "command -v xdg-open >/dev/null 2>&1 || exit 127\n"
    "( xdg-open \"$1\"; sleep \"$2\"; rm -f -- \"$1\" ) </dev/null >/dev/null 2>&1 &\n";

}  // namespace

bool OpenInDesktopViewer(const std::string& file, int keep_seconds) {
  if (keep_seconds < 0) keep_seconds = 0;
  return RunProgram({"/bin/sh", "-c", kLaunchScript, "zuntar-viewer", file, std::to_string(keep_seconds)}, "") == 0;
}

}  // namespace zuntar
