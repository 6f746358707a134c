#include "host/desktop/plugin_actions.h"

#include <QCoreApplication>

#include "host/unhandled.h"

namespace zuntar {

PluginActions::PluginActions(PluginControl& control, std::function<void()> open, QObject* parent)
    : QObject(parent), control_(control) {
  actOpen = new QAction("&Open", this);
  actOpen->setObjectName("actOpen");
  connect(actOpen, &QAction::triggered, this, [open = std::move(open)] { open(); });
  actStart = Make("actStart", "&Start", &PluginActions::Start);
  actStop = Make("actStop", "S&top", &PluginActions::Stop);
  actPause = Make("actPause", "&Pause", &PluginActions::Pause);
  actContinue = Make("actContinue", "&Continue", &PluginActions::Continue);
  actExit = Make("actExit", "E&xit", &PluginActions::Exit);
  // Until Start has run only Start and Exit make sense.
  actStop->setEnabled(false);
  actPause->setEnabled(false);
  actContinue->setEnabled(false);
}

QAction* PluginActions::Make(const char* name, const char* caption, void (PluginActions::*operation)()) {
  auto* action = new QAction(caption, this);
  action->setObjectName(name);
  connect(action, &QAction::triggered, this, [this, operation] { (this->*operation)(); });
  return action;
}

void PluginActions::SetState(PluginState state) {
  state_ = state;
  if (state_listener_) state_listener_(state);
}

void PluginActions::Start() {
  if (!RunGuarded([&] { control_.Start(); })) {
    // Start gave up before HTTP served (the port is taken, say): the plugin
    // stays in the tray, shown as not serving, and Start may be tried again.
    SetState(PluginState::kStopped);
    if (start_failed_) start_failed_(control_.StartProblem());
    return;
  }
  actStart->setEnabled(false);
  actStop->setEnabled(true);
  actPause->setEnabled(true);
  actContinue->setEnabled(false);
  SetState(PluginState::kRunning);
}

void PluginActions::Stop() {
  if (!RunGuarded([&] { control_.Stop(); })) return;
  actStop->setEnabled(false);
  actStart->setEnabled(true);
  actPause->setEnabled(false);
  actContinue->setEnabled(false);
  SetState(PluginState::kStopped);
}

void PluginActions::Pause() {
  if (!RunGuarded([&] { control_.Pause(); })) return;
  actPause->setEnabled(false);
  actContinue->setEnabled(true);
  SetState(PluginState::kStopped);
}

void PluginActions::Continue() {
  if (!RunGuarded([&] { control_.Continue(); })) return;
  actContinue->setEnabled(false);
  actPause->setEnabled(true);
  SetState(PluginState::kRunning);
}

void PluginActions::Exit() {
  if (exiting_) return;
  exiting_ = true;
  RunGuarded([&] { control_.Exit(); });
  QCoreApplication::quit();
}

}  // namespace zuntar
