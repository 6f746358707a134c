// The tray entry: the icon in the notification area (only when the desktop
// has one), its tip and its menu.
//
// The menu holds, in order: the settings entry (the default item), the
// program's version (drawn italic and grey; a click opens the version
// window with the providers' versions), a separator, Start, Stop, Pause and
// Continue (hidden: the application only runs and exits), a second hidden
// separator, and Exit. In service mode the first separator and Exit are
// hidden too. A right click brings the settings window to the front and,
// when the window is hidden, opens the menu; a double click opens the
// window.
#pragma once

#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QWidgetAction>
#include <memory>
#include <string>

#include "host/desktop/plugin_actions.h"
#include "host/desktop/tray_icons.h"

namespace zuntar {

class TfrmSettings;

class TrayEntry {
 public:
  TrayEntry(TfrmSettings& window, PluginActions& actions, bool app_mode);
  ~TrayEntry();

  QMenu& menu() { return menu_; }
  // Null when the desktop has no notification area.
  QSystemTrayIcon* icon() { return icon_.get(); }
  // The menu's items by their names (piOpen, mVersion, N1, piStart, ...).
  QAction* Item(const char* name);

  void SetState(PluginState state);
  // A warning balloon at the icon (UTF-8 text), where there is an icon.
  void ShowWarning(const std::string& text);
  // The last warning asked for, shown or not.
  const QString& lastWarning() const { return last_warning_; }
  // The tray's right-button click at `where` (screen coordinates).
  void RightClick(const QPoint& where);
  // The version window: non-modal, one at a time.
  void ShowVersionBox();
  QMessageBox* versionBox() { return version_box_; }

 private:
  TfrmSettings& window_;
  PluginActions& actions_;
  QMenu menu_;
  QWidgetAction* version_item_ = nullptr;
  std::unique_ptr<QSystemTrayIcon> icon_;
  QPointer<QMessageBox> version_box_;
  QString last_warning_;
};

}  // namespace zuntar
