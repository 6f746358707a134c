// Application mode in process: the desktop session with the real plugin
// control, Exit from the tray menu while a worker waits for the person.
#include <QTimer>
#include <future>
#include <optional>

#include "desktop_fixture.h"
#include "host/desktop/desktop_application.h"
#include "host/desktop/desktop_prompt.h"
#include "host/headless_control.h"
#include "support/ports.h"
#include "tasks/firebird_root.h"

namespace zuntar {
namespace {

using test::WaitUntil;

class DesktopLife : public test::DesktopTest {
 protected:
  DesktopLife() {
    Settings s = control_.settings().Get();
    s.HTTPPORT = test::ListeningSocket().port();  // free a moment ago
    s.TIMEOUTBEFORESTARTHTTP = 0;
    control_.settings().Set(s);
    SetUserPrompt(&prompt_);
    PrepareFirebirdClient();  // Start opens the task database
  }
  ~DesktopLife() override {
    prompt_.Close();
    SetUserPrompt(nullptr);
    AllowPrompts();
  }
  DesktopPrompt prompt_{true};
  HeadlessControl control_{true, instance_, settings_.Get()};
};

TEST_F(DesktopLife, ExitFromTheMenuWithAQuestionOpenEndsCleanly) {
  DesktopSession session(control_, true);
  session.actions().Start();
  EXPECT_EQ(session.actions().state(), PluginState::kRunning);
  EXPECT_FALSE(session.actions().actStart->isEnabled());
  EXPECT_TRUE(session.actions().actStop->isEnabled());

  // A worker waits for the person, who picks Exit in the tray menu instead.
  std::future<bool> asked = std::async(
      std::launch::async, [] { return CurrentUserPrompt().Confirm("caption", "message", "Поиск ключа", "Отмена"); });
  ASSERT_TRUE(WaitUntil([&] { return prompt_.ShownDialog() != nullptr; }));
  QTimer::singleShot(0, [&] { session.tray().Item("piExit")->trigger(); });
  QTimer::singleShot(15000, [] { QCoreApplication::exit(1); });  // a hang fails, not blocks
  EXPECT_EQ(QApplication::exec(), 0);

  ASSERT_EQ(asked.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(asked.get());
  EXPECT_TRUE(WaitUntil([&] { return prompt_.ShownDialog() == nullptr; }));
  for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_FALSE(qobject_cast<QDialog*>(w) && w->isVisible());
  // A second Exit (SIGTERM after the menu's) does nothing more.
  session.actions().Exit();
  const std::string log = Log();
  const size_t first = log.find("Работа Плагина завершена");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("Работа Плагина завершена", first + 1), std::string::npos) << log;
}

TEST_F(DesktopLife, StopAndContinueChangeTheAvailableActionsAndTheIcon) {
  DesktopSession session(control_, true);
  std::vector<PluginState> states;
  session.actions().OnStateChanged([&](PluginState s) { states.push_back(s); });
  session.actions().Start();
  session.actions().Pause();
  EXPECT_TRUE(session.actions().actContinue->isEnabled());
  EXPECT_FALSE(session.actions().actPause->isEnabled());
  session.actions().Continue();
  session.actions().Stop();
  EXPECT_TRUE(session.actions().actStart->isEnabled());
  EXPECT_FALSE(session.actions().actStop->isEnabled());
  EXPECT_EQ(states, (std::vector<PluginState>{PluginState::kRunning, PluginState::kStopped, PluginState::kRunning,
                                              PluginState::kStopped}));
}

TEST_F(DesktopLife, AStartThatFailsLeavesThePluginInTheTrayShownAsStopped) {
  // Another listener holds the port.
  test::ListeningSocket holder;
  Settings s = control_.settings().Get();
  s.HTTPPORT = holder.port();
  control_.settings().Set(s);
  DesktopSession session(control_, true);
  session.actions().Start();
  EXPECT_EQ(session.actions().state(), PluginState::kStopped);
  EXPECT_TRUE(session.actions().actStart->isEnabled());
  EXPECT_NE(Log().find("Unhandled exception"), std::string::npos) << Log();
  EXPECT_NE(Log().find("Ошибка запуска HTTP: "), std::string::npos) << Log();
  // Whoever holds the port (the service, another user's application), the
  // person is told why this one does not serve, in the log and at the tray.
  const std::string taken = PortTakenText(Startup().IsCP1251, s.HTTPPORT);
  EXPECT_NE(Log().find(taken), std::string::npos) << Log();
  EXPECT_EQ(session.tray().lastWarning().toStdString(), taken);
}

// The Qt platforms application mode tries: the session's display first,
// the offscreen one last, so a display that cannot be reached never stops
// the plugin; a platform named by QT_QPA_PLATFORM is left to Qt.
TEST(DesktopPlatform, ChoiceFollowsTheSessionsDisplay) {
  struct Case {
    const char *qpa, *display, *wayland, *session, *expected;
  };
  const Case cases[] = {
      {"xcb", ":0", nullptr, nullptr, nullptr},
      {nullptr, ":0", nullptr, "x11", "xcb;offscreen"},
      {nullptr, ":0", "wayland-0", "wayland", "wayland;xcb;offscreen"},
      {nullptr, nullptr, "wayland-0", "wayland", "wayland;offscreen"},
      {nullptr, nullptr, nullptr, nullptr, "offscreen"},
      {nullptr, "", nullptr, "tty", "offscreen"},
  };
  const char* const names[] = {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE"};
  std::vector<std::optional<std::string>> saved;
  for (const char* name : names) {
    const char* value = getenv(name);
    saved.push_back(value != nullptr ? std::optional<std::string>(value) : std::nullopt);
  }
  for (const Case& c : cases) {
    const char* const values[] = {c.qpa, c.display, c.wayland, c.session};
    for (int i = 0; i < 4; ++i) values[i] != nullptr ? setenv(names[i], values[i], 1) : unsetenv(names[i]);
    const char* choice = PlatformChoice();
    EXPECT_EQ(choice != nullptr ? std::string(choice) : "(Qt's)", c.expected != nullptr ? c.expected : "(Qt's)");
  }
  for (int i = 0; i < 4; ++i) saved[i] ? setenv(names[i], saved[i]->c_str(), 1) : unsetenv(names[i]);
  EXPECT_FALSE(IsDesktopPlatform("offscreen"));
  EXPECT_FALSE(IsDesktopPlatform("minimal"));
  EXPECT_TRUE(IsDesktopPlatform("xcb"));
  EXPECT_TRUE(IsDesktopPlatform("wayland"));
}

}  // namespace
}  // namespace zuntar
