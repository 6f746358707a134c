// The control actions of application mode: Start, Stop, Pause, Continue and
// Exit of the plugin, and Open of the settings window; the tray menu's items
// trigger them. Each runs its operation on the GUI thread, logs what
// escapes it, and then sets which actions are available and the tray's
// icon.
#pragma once

#include <QAction>
#include <QObject>
#include <functional>
#include <string>

#include "host/desktop/tray_icons.h"
#include "host/plugin_control.h"

namespace zuntar {

class PluginActions : public QObject {
 public:
  // `open` shows the settings window.
  PluginActions(PluginControl& control, std::function<void()> open, QObject* parent = nullptr);

  QAction* actOpen;
  QAction* actStart;
  QAction* actStop;
  QAction* actPause;
  QAction* actContinue;
  QAction* actExit;

  // Called with the plugin's state after each operation that changes it.
  void OnStateChanged(std::function<void(PluginState)> listener) { state_listener_ = std::move(listener); }
  // Called when Start leaves the plugin not serving, with what the person
  // should know of it (UTF-8; empty when nothing particular is known).
  void OnStartFailed(std::function<void(const std::string&)> listener) { start_failed_ = std::move(listener); }
  PluginState state() const { return state_; }
  PluginControl& control() const { return control_; }

  void Start();
  void Stop();
  void Pause();
  void Continue();
  // Takes the plugin down once and asks the application to end; later
  // calls (a signal after the menu's Exit, say) do nothing.
  void Exit();

 private:
  QAction* Make(const char* name, const char* caption, void (PluginActions::*operation)());
  void SetState(PluginState state);

  PluginControl& control_;
  std::function<void(PluginState)> state_listener_;
  std::function<void(const std::string&)> start_failed_;
  PluginState state_ = PluginState::kRunning;
  bool exiting_ = false;
};

}  // namespace zuntar
