// The real program on a virtual X display with a tray host: its tray icon,
// the menu, the settings window (titled with the application's name), the
// key-media prompt, Exit from the menu while the prompt waits for an answer,
// a task whose key was being asked for when the program was killed, and a
// web site's request for the keys answered at the desktop. The screenshots
// are kept in <build>/artifacts/desktop/ for a person to look at.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "../host/plugin_sandbox.h"
#include "platform/file_io.h"
#include "platform/origin_consent_file.h"
#include "support/scoped_env.h"
#include "support/http_client.h"
#include "virtual_desktop.h"

namespace zuntar {
namespace {

using namespace std::chrono_literals;
using test::Rect;

// Window names as the desktop shows them: the window's own caption, then
// the application's title, which alone names a window without a caption of
// its own (the tray icon) or with that very caption (the menu, the question
// about a web site); only their sizes tell those apart.
const std::string kTitle = "ЗУНТАР.Плагин";
const std::string kSettingsTitle = "Настройки — ЗУНТАР.Плагин";
const std::string kKeyMediaTitle = "ЗУНТАР.Плагин. Требуется установить ключ! — ЗУНТАР.Плагин";
constexpr int kIconSize = 32;  // the tray icon is no larger, a menu or a window is

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
    // Under the leak checker: Qt on X11 leaves one-time allocations of the
    // session-bus libraries behind, which the fast unwinder cannot trace back
    // to them (tests/lsan.supp); full stacks let the suppressions match.
    if (const char* asan = std::getenv("ASAN_OPTIONS"))
      box_.AddEnv(std::string("ASAN_OPTIONS=") + asan + ":fast_unwind_on_malloc=0");
    port_ = test::FreePort();
    WriteStringToFile("HTTPPORT=" + std::to_string(port_) + "\r\nTIMEOUTBEFORESTARTHTTP=0\r\n", box_.config_file());
    // Certificates for the key-media prompt: "nolink" has a key container
    // but is not in the personal store.
    box_.RegisterProvider();
    std::string out;
    ASSERT_EQ(box_.Run({"-CREATEDB"}, nullptr, &out), 0) << out;
    ASSERT_EQ(box_.CertTool("make-test-pki --out " + box_.root() + "pki", &out), 0) << out;
  }

  std::optional<Rect> TrayIcon() const { return desktop_->WaitForWindow(kTitle, 4, 15s, kIconSize); }

  // Right click on the tray icon; true when the menu opened.
  bool RightClickTray(const Rect& icon, std::chrono::milliseconds limit = 5s) {
    // Not --sync: it waits for a move that never comes when the pointer is
    // already there.
    desktop_->Run("xdotool mousemove " + std::to_string(icon.x + icon.width / 2) + " " +
                  std::to_string(icon.y + icon.height / 2) + " sleep 0.1 click 3");
    return desktop_->WaitForWindow(kTitle, kIconSize, limit).has_value();
  }

  std::optional<test::VirtualDesktop> desktop_;
  test::PluginSandbox box_;
  int port_ = 0;
};

TEST_F(DesktopScreen, TrayMenuSettingsWindowKeyMediaPromptAndExitFromTheMenu) {
  test::PluginProcess plugin = box_.Start({});
  ASSERT_TRUE(box_.WaitForStartEnd()) << box_.Log();
  const std::optional<Rect> icon = TrayIcon();
  ASSERT_TRUE(icon) << "no tray icon\n" << box_.Log();
  const std::string dir = ArtifactsDir();
  EXPECT_TRUE(desktop_->Screenshot(dir + "tray-icon.png", Rect{icon->x - 4, 0, icon->width + 8, 30}, 6));

  ASSERT_TRUE(RightClickTray(*icon));
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(desktop_->Screenshot(dir + "tray-menu.png"));
  desktop_->Run("xdotool key Down Return");  // the first item: the settings
  const std::optional<Rect> window = desktop_->WaitForWindow(kSettingsTitle);
  ASSERT_TRUE(window) << "the settings entry did not open the window";
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(desktop_->Screenshot(dir + "settings-window.png"));
  // Centred on the screen (the window manager's frame aside).
  EXPECT_NEAR(window->x + window->width / 2, 512, 16);

  // While the window is shown a right click only brings it to the front.
  EXPECT_FALSE(RightClickTray(*icon, 1s));
  desktop_->Run("xdotool key Escape");  // closes the window, not a menu
  EXPECT_TRUE(desktop_->WaitForNoWindow(kSettingsTitle));

  // A page checks a certificate whose key is not linked: the person is asked.
  const std::string nolink = ReadFileToString(box_.root() + "pki/nolink.cer");
  std::future<test::HttpReply> check = std::async(
      std::launch::async, [&] { return test::Request(port_, "POST", "/MERVO/CHECKCERTANDCLUE", nolink, ""); });
  ASSERT_TRUE(desktop_->WaitForWindow(kKeyMediaTitle)) << box_.Log();
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(desktop_->Screenshot(dir + "key-media-prompt.png"));
  // Where it stands once shown: on a loaded machine the first sight of it
  // may come before the window manager placed it.
  const std::optional<Rect> prompt = desktop_->WaitForWindow(kKeyMediaTitle);
  ASSERT_TRUE(prompt);
  EXPECT_NEAR(prompt->x + prompt->width / 2, 512, 16);

  // Exit from the menu while the question waits: the question is answered
  // Cancel, the worker ends and so does the program.
  ASSERT_TRUE(RightClickTray(*icon));
  desktop_->Run("xdotool key Up Return");  // the last item: Exit
  EXPECT_EQ(plugin.WaitExit(10s), 0) << box_.Log() << plugin.Stderr();
  EXPECT_EQ(check.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(box_.CountInLog(test::Cp1251("Работа Плагина завершена")), 1);
  EXPECT_EQ(box_.CountInLog("did not end within"), 0) << "ended by the watchdog, not in order";
  EXPECT_TRUE(desktop_->WaitForNoWindow(kKeyMediaTitle));
}

TEST_F(DesktopScreen, ExitFromTheMenuWhileTheProcessingThreadWaitsForKeyMedia) {
  test::PluginProcess plugin = box_.Start({});
  ASSERT_TRUE(box_.WaitForStartEnd()) << box_.Log();
  const std::optional<Rect> icon = TrayIcon();
  ASSERT_TRUE(icon) << "no tray icon\n" << box_.Log();

  // A queued signature for a certificate nowhere at hand: the processing
  // thread asks for the key media.
  const test::HttpReply queued = test::Request(port_, "POST", "/MERVO/GETSIGN?CertSN=0A0B0C0D0E", "data", "");
  EXPECT_EQ(queued.status, 200) << queued.body;
  ASSERT_TRUE(desktop_->WaitForWindow(kKeyMediaTitle, 4, 70s)) << box_.Log();
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(desktop_->Screenshot(ArtifactsDir() + "key-media-prompt-task.png"));

  ASSERT_TRUE(RightClickTray(*icon));
  desktop_->Run("xdotool key Up Return");  // Exit
  EXPECT_EQ(plugin.WaitExit(10s), 0) << box_.Log() << plugin.Stderr();
  EXPECT_EQ(box_.CountInLog(test::Cp1251("Работа Плагина завершена")), 1);
  EXPECT_EQ(box_.CountInLog("did not end within"), 0) << "ended by the watchdog, not in order";
}

TEST_F(DesktopScreen, ATaskWhoseKeyWasAskedForWhenThePluginWasKilledRunsOnceAfterTheRestart) {
  WriteStringToFile("HTTPPORT=" + std::to_string(port_) + "\r\nTIMEOUTBEFORESTARTHTTP=0\r\nLOG_LEVEL=3\r\n",
                    box_.config_file());
  // "nolink" in the personal store without its key: the task is taken and
  // run, and its key is asked for when the signature needs it.
  const std::string cer = box_.root() + "pki/nolink.cer";
  std::string out;
  ASSERT_EQ(box_.CertTool("install " + cer + " --store MY", &out), 0) << out;
  std::string thumbprint;
  for (const char c : desktop_->Run("openssl x509 -inform DER -noout -fingerprint -sha1 -in " + cer))
    if (std::isxdigit(static_cast<unsigned char>(c))) thumbprint += c;
  thumbprint = thumbprint.substr(thumbprint.size() - 40);  // after "SHA1 Fingerprint="
  std::string id;
  {
    test::PluginProcess plugin = box_.Start({});
    ASSERT_TRUE(box_.WaitForStartEnd()) << box_.Log();
    const test::HttpReply queued =
        test::Request(port_, "POST", "/MERVO/GETSIGN?CertThumb=" + thumbprint, "ZGF0YQ==", "");
    const size_t at = queued.body.find("\"Data\": \"");
    ASSERT_NE(at, std::string::npos) << queued.body;
    id = queued.body.substr(at + 9, 32);
    ASSERT_TRUE(desktop_->WaitForWindow(kKeyMediaTitle, 4, 70s)) << box_.Log();
    plugin.Signal(SIGKILL);
    plugin.WaitExit(10s);
    ASSERT_FALSE(plugin.Running());
    ASSERT_TRUE(desktop_->WaitForNoWindow(kKeyMediaTitle));
  }

  test::PluginProcess plugin = box_.Start({});
  ASSERT_TRUE(box_.WaitForStartEnd()) << box_.Log();
  ASSERT_TRUE(desktop_->WaitForWindow(kKeyMediaTitle, 4, 70s)) << "the task was not taken up again\n" << box_.Log();
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(desktop_->Screenshot(ArtifactsDir() + "key-media-prompt-after-restart.png"));
  desktop_->Run("xdotool key Return");  // "Поиск ключа": the key is in its container
  test::HttpReply result;
  for (const auto until = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < until;) {
    result = test::Request(port_, "GET", "/MERVO/GETRESULT?Id=" + id);
    if (result.status != 201) break;
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(result.status, 200) << result.body << box_.Log();
  EXPECT_EQ(box_.CountInLog(test::Cp1251("Криптозадание ") + id + test::Cp1251(" выполнено")), 1) << box_.Log();
  EXPECT_EQ(plugin.Terminate(), 0) << box_.Log();
}

TEST_F(DesktopScreen, ASitesRequestIsAnsweredAtTheDesktopAndTheAnswerHoldsAfterARestart) {
  WriteStringToFile("HTTPPORT=" + std::to_string(port_) + "\r\nTIMEOUTBEFORESTARTHTTP=0\r\nCONFIRMORIGINS=1\r\n",
                    box_.config_file());
  const auto page_request = [&](const std::string& origin) {
    return std::async(std::launch::async,
                      [this, origin] { return test::Request(port_, "GET", "/MERVO/ENUMCERTS", "", "Origin: " + origin + "\r\n"); });
  };
  {
    test::PluginProcess plugin = box_.Start({});
    ASSERT_TRUE(box_.WaitForStartEnd()) << box_.Log();
    ASSERT_TRUE(TrayIcon()) << "no tray icon\n" << box_.Log();

    // Enter takes the default answer: deny.
    std::future<test::HttpReply> denied = page_request("https://evil.example");
    const std::optional<Rect> question = desktop_->WaitForWindow(kTitle, kIconSize);
    ASSERT_TRUE(question) << box_.Log();
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(desktop_->Screenshot(ArtifactsDir() + "origin-consent.png"));
    EXPECT_NEAR(question->x + question->width / 2, 512, 16);
    desktop_->Run("xdotool key Return");
    ASSERT_EQ(denied.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(denied.get().status, 403);
    EXPECT_TRUE(desktop_->WaitForNoWindow(kTitle, 10s, kIconSize));

    // From the default button back to the first one: allow always.
    std::future<test::HttpReply> allowed = page_request("https://edo.example.ru");
    ASSERT_TRUE(desktop_->WaitForWindow(kTitle, kIconSize)) << box_.Log();
    std::this_thread::sleep_for(300ms);
    desktop_->Run("xdotool key shift+Tab shift+Tab space");
    ASSERT_EQ(allowed.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(allowed.get().status, 200);
    EXPECT_EQ(plugin.Terminate(), 0) << box_.Log();
  }
  test::ScopedEnv root("ZUNTAR_PLATFORM_ROOT", box_.root());
  EXPECT_EQ(OriginConsentFile().Load(),
            (std::map<std::string, OriginConsent>{{"https://edo.example.ru", OriginConsent::kAllowAlways},
                                                  {"https://evil.example", OriginConsent::kDeny}}));

  // The next run asks nobody about them.
  std::filesystem::remove(box_.log_file());
  test::PluginProcess plugin = box_.Start({});
  ASSERT_TRUE(box_.WaitForStartEnd()) << box_.Log();
  ASSERT_TRUE(TrayIcon()) << box_.Log();
  EXPECT_EQ(page_request("https://edo.example.ru").get().status, 200);
  EXPECT_EQ(page_request("https://evil.example").get().status, 403);
  EXPECT_FALSE(desktop_->WaitForWindow(kTitle, kIconSize, 1s));
  EXPECT_EQ(plugin.Terminate(), 0) << box_.Log();
}

}  // namespace
}  // namespace zuntar
