#include "host/desktop/desktop_application.h"

#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSessionManager>
#include <QSocketNotifier>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "core/log.h"
#include "core/process_values.h"
#include "core/utf.h"
#include "host/control_signals.h"
#include "host/desktop/desktop_prompt.h"
#include "host/desktop/desktop_texts.h"
#include "host/desktop/session_lock_watch.h"
#include "host/desktop/tray_icons.h"
#include "platform/login_session.h"
#include "platform/unique_fd.h"

namespace zuntar {
namespace {

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// Qt's own command line: the program's name and the platform to use. The
// plugin's arguments are not Qt's business.
class QtArguments {
 public:
  QtArguments() {
    args_.push_back(const_cast<char*>(kProgramName));
    if (const char* platform = PlatformChoice()) {
      args_.push_back(const_cast<char*>("-platform"));
      args_.push_back(const_cast<char*>(platform));
    }
    args_.push_back(nullptr);
    argc_ = static_cast<int>(args_.size()) - 1;
  }
  int& argc() { return argc_; }
  char** argv() { return args_.data(); }

 private:
  std::vector<char*> args_;
  int argc_ = 0;
};

// Qt's own messages (a missing runtime folder, a display it cannot reach)
// go to the plugin's log, not to a terminal that may not exist.
void LogQtMessage(QtMsgType type, const QMessageLogContext&, const QString& text) {
  const std::string line = "Qt: " + AnsiFromUtf8(text.toStdString());
  if (type == QtCriticalMsg || type == QtFatalMsg) {
    LogError(line);
  } else {
    LogDebug(line);
  }
}

// Exit on the control signals, taken from the event loop.
std::unique_ptr<QSocketNotifier> ExitOnControlSignals(PluginActions& actions, int descriptor) {
  auto notifier = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Read);
  QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(), [&actions, descriptor] {
    const int number = TakeControlSignal(descriptor);
    // Pause and continue belong to the service.
    if (number == SIGTERM || number == SIGINT || number == SIGHUP) actions.Exit();
  });
  return notifier;
}

}  // namespace

DesktopSession::DesktopSession(PluginControl& control, bool app_mode)
    : window_(control.settings(), control.instance()),
      actions_(control, [this] { window_.Open(); }),
      tray_(window_, actions_, app_mode) {
  actions_.OnStateChanged([this](PluginState state) { tray_.SetState(state); });
  actions_.OnStartFailed([this](const std::string& problem) {
    if (!problem.empty()) tray_.ShowWarning(problem);
  });
}

bool IsDesktopPlatform(const char* name) {
  return std::strcmp(name, "offscreen") != 0 && std::strcmp(name, "minimal") != 0;
}

const char* PlatformChoice() {
  if (IsSet("QT_QPA_PLATFORM")) return nullptr;
  const char* session = std::getenv("XDG_SESSION_TYPE");
  if (IsSet("WAYLAND_DISPLAY") && session != nullptr && std::strcmp(session, "wayland") == 0)
    return IsSet("DISPLAY") ? "wayland;xcb;offscreen" : "wayland;offscreen";
  if (IsSet("DISPLAY")) return "xcb;offscreen";
  if (IsSet("WAYLAND_DISPLAY")) return "wayland;offscreen";
  return "offscreen";
}

int RunDesktopApplication(PluginControl& control) {
  const QtMessageHandler previous_handler = qInstallMessageHandler(LogQtMessage);
  QtArguments arguments;
  QApplication app(arguments.argc(), arguments.argv());
  QGuiApplication::setApplicationDisplayName(QString::fromStdString(ApplicationTitle(Startup().IsCP1251)));
  // The window and the question boxes close; the plugin goes on.
  app.setQuitOnLastWindowClosed(false);
  QApplication::setWindowIcon(PluginIcon(PluginState::kRunning));

  DesktopPrompt prompt(IsDesktopPlatform(app.platformName().toUtf8().constData()));
  SetUserPrompt(&prompt);
  {
    DesktopSession session(control, /*app_mode=*/true);
    const UniqueFd signal_fd(OpenControlSignalDescriptor());
    std::unique_ptr<QSocketNotifier> notifier;
    if (signal_fd.valid()) {
      notifier = ExitOnControlSignals(session.actions(), signal_fd.get());
    } else {
      LogError("Cannot take the control signals in the event loop: SIGTERM will not end the plugin in order");
    }
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &app,
                     [&session](QSessionManager&) { session.actions().Exit(); });
    const std::unique_ptr<SessionLockWatch> lock_watch = ForgetKeysWhenSessionLocks(CurrentLoginSession());
    session.actions().Start();
    app.exec();
  }
  prompt.Close();
  SetUserPrompt(nullptr);
  qInstallMessageHandler(previous_handler);
  return 0;
}

}  // namespace zuntar
