// The real program on a virtual X display with a tray host: its tray icon,
// the menu, the settings window, and Exit from the menu. The screenshots are
// kept in <build>/artifacts/desktop/ for a person to look at.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "../host/plugin_sandbox.h"
#include "platform/file_io.h"
#include "support/ports.h"
#include "virtual_desktop.h"

namespace zuntar {
namespace {

using namespace std::chrono_literals;
using test::Rect;

std::string ArtifactsDir() {
  const char* build = std::getenv("ZUNTAR_TEST_BINARY_DIR");
  const std::string dir = std::string(build != nullptr ? build : ".") + "/artifacts/desktop/";
  std::filesystem::create_directories(dir);
  return dir;
}

class DesktopScreen : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* program : {"Xvfb", "trayer", "xdotool"})
      if (!test::ProgramInstalled(program)) GTEST_SKIP() << program << " is not installed (scripts/install-deps.sh)";
    desktop_.emplace();
    box_.AddEnv("DISPLAY=" + desktop_->display());
    box_.AddEnv("QT_QPA_PLATFORM=xcb");
    WriteStringToFile("HTTPPORT=" + std::to_string(test::FreePort()) + "\r\nTIMEOUTBEFORESTARTHTTP=0\r\n",
                      box_.config_file());
  }

  // Right click on the tray icon; true when the menu opened.
  bool RightClickTray(const Rect& icon, std::chrono::milliseconds limit = 5s) {
    // Not --sync: it waits for a move that never comes when the pointer is
    // already there.
    desktop_->Run("xdotool mousemove " + std::to_string(icon.x + icon.width / 2) + " " +
                  std::to_string(icon.y + icon.height / 2) + " sleep 0.1 click 3");
    return desktop_->WaitForWindow("ЗУНТАР.Плагин", 4, limit).has_value();
  }

  std::optional<test::VirtualDesktop> desktop_;
  test::PluginSandbox box_;
};

TEST_F(DesktopScreen, TrayIconMenuSettingsWindowAndExitFromTheMenu) {
  test::PluginProcess plugin = box_.Start({});
  ASSERT_TRUE(box_.WaitForStartEnd()) << box_.Log();
  const std::optional<Rect> icon = desktop_->WaitForWindow("ZuntarMervoPlugin");
  ASSERT_TRUE(icon) << "no tray icon\n" << box_.Log();
  const std::string dir = ArtifactsDir();
  EXPECT_TRUE(desktop_->Screenshot(dir + "tray-icon.png", Rect{icon->x - 4, 0, icon->width + 8, 30}, 6));
  ASSERT_TRUE(RightClickTray(*icon));
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(desktop_->Screenshot(dir + "tray-menu.png"));
  desktop_->Run("xdotool key Down Return");  // the first item: the settings
  const std::optional<Rect> window = desktop_->WaitForWindow("Настройки");
  ASSERT_TRUE(window) << "the settings entry did not open the window";
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(desktop_->Screenshot(dir + "settings-window.png"));
  // Centred on the screen (the window manager's frame aside).
  EXPECT_NEAR(window->x + window->width / 2, 512, 16);

  // While the window is shown a right click only brings it to the front.
  EXPECT_FALSE(RightClickTray(*icon, 1s));
  desktop_->Run("xdotool key Escape");  // closes the window, not a menu
  EXPECT_TRUE(desktop_->WaitForNoWindow("Настройки"));
  EXPECT_TRUE(plugin.Running());

  ASSERT_TRUE(RightClickTray(*icon));
  desktop_->Run("xdotool key Up Return");  // the last item: Exit
  EXPECT_EQ(plugin.WaitExit(15s), 0) << box_.Log() << plugin.Stderr();
  EXPECT_EQ(box_.CountInLog(test::Cp1251("Работа Плагина завершена")), 1);
}

}  // namespace
}  // namespace zuntar
