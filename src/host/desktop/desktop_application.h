// Application mode with a desktop: the settings window, the control actions
// and the tray entry, the desktop's user prompt, and Qt's event loop from
// Start to Exit.
//
// Exit comes from the tray menu, from the end of the desktop session (the
// session manager's request to save) and from SIGTERM, SIGINT or SIGHUP.
// The unlocked keys are forgotten when the session locks its screen.
// Without a display the program runs on Qt's offscreen platform: no tray,
// and every question is answered Cancel at once.
#pragma once

#include "host/desktop/plugin_actions.h"
#include "host/desktop/settings_window.h"
#include "host/desktop/tray_entry.h"
#include "host/plugin_control.h"

namespace zuntar {

// The desktop's objects for one run mode (GUI thread): the window, its
// actions and the tray entry, wired together.
class DesktopSession {
 public:
  DesktopSession(PluginControl& control, bool app_mode);

  TfrmSettings& window() { return window_; }
  PluginActions& actions() { return actions_; }
  TrayEntry& tray() { return tray_; }

 private:
  TfrmSettings window_;
  PluginActions actions_;
  TrayEntry tray_;
};

// Whether Qt's platform `name` shows anything to a person.
bool IsDesktopPlatform(const char* name);

// The Qt platforms to try, in order, for this environment: the ones of the
// session's display, then the offscreen one; nothing when QT_QPA_PLATFORM
// chooses.
const char* PlatformChoice();

// Runs application mode to its end; returns the exit code.
int RunDesktopApplication(PluginControl& control);

}  // namespace zuntar
