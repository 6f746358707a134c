// The tray menu and its entry: items in order and their visibility in both
// run modes, the version item and its window, the right click and the
// control actions.
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>

#include "desktop_fixture.h"
#include "host/desktop/desktop_application.h"
#include "host/desktop/desktop_texts.h"
#include "host/desktop/tray_entry.h"
#include "host/headless_control.h"
#include "tasks/firebird_root.h"

namespace zuntar {
namespace {

using test::WaitUntil;

// Each item's name, with '-' before a hidden one.
std::vector<std::string> Items(QMenu& menu) {
  std::vector<std::string> items;
  for (const QAction* a : menu.actions()) {
    std::string item = a->objectName().toStdString();
    if (!a->isVisible()) item.insert(0, 1, '-');
    items.push_back(item);
  }
  return items;
}

class TrayMenu : public test::DesktopTest {
 protected:
  TrayMenu() { PrepareFirebirdClient(); }  // an application-mode session starts the plugin
  HeadlessControl control_{true, instance_, settings_.Get()};
};

TEST_F(TrayMenu, ApplicationModeShowsSettingsVersionAndExit) {
  DesktopSession session(control_, /*app_mode=*/true);
  QMenu& menu = session.tray().menu();
  EXPECT_EQ(Items(menu), (std::vector<std::string>{"piOpen", "mVersion", "N1", "-piStart", "-piStop", "-piPause",
                                                   "-piContinue", "-N2", "piExit"}));
  TrayEntry& tray = session.tray();
  EXPECT_EQ(menu.defaultAction(), tray.Item("piOpen"));
  EXPECT_EQ(tray.Item("piOpen")->text().toStdString(), "Настройки");
  EXPECT_EQ(tray.Item("mVersion")->text().toStdString(), "Версия: 1.0.0.1");
  EXPECT_EQ(tray.Item("piExit")->text().toStdString(), "Выход");
  EXPECT_EQ(tray.Item("piStart")->text().toStdString(), "&Запустить");
  EXPECT_EQ(tray.Item("piStop")->text().toStdString(), "Остановить");
  EXPECT_EQ(tray.Item("piPause")->text().toStdString(), "&Пауза");
  EXPECT_EQ(tray.Item("piContinue")->text().toStdString(), "Продолжить");
  EXPECT_TRUE(tray.Item("N1")->isSeparator());

  // The items trigger the actions.
  tray.Item("piOpen")->trigger();
  EXPECT_TRUE(WaitUntil([&] { return session.window().isVisible(); }));
  // No notification area on the offscreen platform: no icon, the menu still works.
  EXPECT_EQ(session.tray().icon(), nullptr);
}

TEST_F(TrayMenu, ServiceModeHidesTheSeparatorAndTheControlItems) {
  DesktopSession session(control_, /*app_mode=*/false);
  EXPECT_EQ(Items(session.tray().menu()), (std::vector<std::string>{"piOpen", "mVersion", "-N1", "-piStart", "-piStop",
                                                                    "-piPause", "-piContinue", "-N2", "-piExit"}));
}

TEST_F(TrayMenu, EnglishTextsWhereTheCodePageIsNot1251) {
  EXPECT_EQ(TrayTip(false, ""), "ZUNTAR.Plugin");
  EXPECT_EQ(TrayTip(true, "second"), "ЗУНТАР.Плагин (second)");
  EXPECT_EQ(VersionItemCaption(false, "1.2.3.4"), "Version: 1.2.3.4");
  EXPECT_EQ(ExitItemCaption(false), "Exit");
  EXPECT_EQ(OpenItemCaption(false), "Settings");
  EXPECT_EQ(CloseButtonCaption(false), "Close");
  ProviderVersions both{true, "5.0.0.1", true, "4.4.2.1"};
  EXPECT_EQ(VersionBoxText(true, "Версия: 1.0.0.1", both),
            "Версия: 1.0.0.1\r\nВерсия СКЗИ \"КриптоПро\" (C): 5.0.0.1\r\nВерсия СКЗИ \"ViPNet CSP\" (C): 4.4.2.1\r\n");
  EXPECT_EQ(VersionBoxText(false, "Version: 1.0.0.1", both),
            "Version: 1.0.0.1\r\nCryptoPro CSP (C): 5.0.0.1\r\nVipNet CSP (C): 4.4.2.1\r\n");
  EXPECT_EQ(VersionBoxText(false, "Version: ", ProviderVersions{}), "Version: \r\n");
}

TEST_F(TrayMenu, VersionItemIsItalicGreyAndOpensTheVersionWindow) {
  DesktopSession session(control_, true);
  QMenu& menu = session.tray().menu();
  menu.popup(QPoint(10, 10));
  ASSERT_TRUE(WaitUntil([&] { return menu.isVisible(); }));
  QWidget* item = menu.findChild<QWidget*>("mVersionItem");
  ASSERT_NE(item, nullptr);
  EXPECT_TRUE(item->font().italic());
  // Its text starts 6 pixels right of the item's left edge, in grey.
  const QImage image = item->grab().toImage();
  int first_ink = -1;
  for (int x = 0; x < image.width() && first_ink < 0; ++x)
    for (int y = 0; y < image.height(); ++y)
      if (image.pixelColor(x, y) != image.pixelColor(0, 0)) {
        first_ink = x;
        EXPECT_EQ(image.pixelColor(x, y).red(), image.pixelColor(x, y).blue());
        break;
      }
  EXPECT_GE(first_ink, 6);
  EXPECT_LE(first_ink, 8);

  QTest::mouseClick(item, Qt::LeftButton, {}, QPoint(10, item->height() / 2));
  EXPECT_TRUE(WaitUntil([&] { return !menu.isVisible(); }));
  QMessageBox* box = session.tray().versionBox();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->windowTitle().toStdString(), "ЗУНТАР.Плагин");
  EXPECT_EQ(box->text().toStdString().rfind("Версия: 1.0.0.1", 0), 0u) << box->text().toStdString();
  ASSERT_EQ(box->buttons().size(), 1);
  EXPECT_EQ(box->buttons()[0]->text().toStdString(), "Закрыть");
  QTest::keyClick(box, Qt::Key_Escape);
  EXPECT_TRUE(WaitUntil([&] { return session.tray().versionBox() == nullptr; }));
}

TEST_F(TrayMenu, RightClickOpensTheMenuOnlyWhileTheWindowIsHidden) {
  DesktopSession session(control_, true);
  session.tray().RightClick(QPoint(20, 20));
  EXPECT_TRUE(WaitUntil([&] { return session.tray().menu().isVisible(); }));
  session.tray().menu().close();

  session.actions().actOpen->trigger();
  ASSERT_TRUE(WaitUntil([&] { return session.window().isVisible(); }));
  session.tray().RightClick(QPoint(20, 20));
  QTest::qWait(100);
  EXPECT_FALSE(session.tray().menu().isVisible());
  EXPECT_TRUE(session.window().isVisible());
}

}  // namespace
}  // namespace zuntar
