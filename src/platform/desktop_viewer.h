// Showing a file with the desktop's viewer for its type.
#pragma once

#include <string>

namespace zuntar {

// How long a file handed to the viewer stays after the launcher returned.
constexpr int kViewerFileSeconds = 300;

// Opens `file` with the desktop's viewer (xdg-open, which picks it by the
// file's type) and returns without waiting for the viewer.
//
// On success the file belongs to the launch: it is removed `keep_seconds`
// after xdg-open has returned, which it does once the viewer has started (or,
// for a viewer it runs itself, once that viewer has ended), so the viewer
// reads the file before it goes. Nothing of this stays in the calling
// process. False when xdg-open is not in PATH or no shell can run it; the
// file is then left to the caller.
bool OpenInDesktopViewer(const std::string& file, int keep_seconds = kViewerFileSeconds);

}  // namespace zuntar
