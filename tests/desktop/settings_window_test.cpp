// The settings window: its captions, what it shows, Enter and Esc, and what
// Ok and Cancel do to the settings in force and to the configuration file.
#include "host/desktop/settings_window.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>

#include "desktop_fixture.h"

namespace zuntar {
namespace {

using test::VisibleWindow;
using test::WaitUntil;

class SettingsWindow : public test::DesktopTest {
 protected:
  void Open() {
    window_.Open();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window_));
  }
  void Fill(const char* path, const char* user, const char* password, const char* port, const char* log_dir) {
    window_.edtDBPath->setText(QString::fromUtf8(path));
    window_.edtDBUserName->setText(QString::fromUtf8(user));
    window_.edtPassword->setText(QString::fromUtf8(password));
    window_.edtHTTPPortNum->setText(QString::fromUtf8(port));
    window_.edtLogDirName->setText(QString::fromUtf8(log_dir));
  }
  TfrmSettings window_{settings_, instance_};
};

TEST_F(SettingsWindow, CaptionsHintsAndEditsAsTheUserSeesThem) {
  EXPECT_EQ(window_.windowTitle().toStdString(), "Настройки");
  std::vector<std::string> labels;
  for (const QLabel* label : window_.findChildren<QLabel*>()) labels.push_back(label->text().toStdString());
  EXPECT_EQ(labels, (std::vector<std::string>{"Путь к базе плагина", "Пользователь БД", "Пароль", "http порт",
                                              "Каталог для файла с протоколом",
                                              "Сайты с решением о доступе к ключам"}));
  EXPECT_EQ(window_.btnOk->text().toStdString(), "Ok");
  EXPECT_EQ(window_.btnOk->toolTip().toStdString(), "Выход с сохранением настроек");
  EXPECT_EQ(window_.btnCancel->text().toStdString(), "Отмена");
  EXPECT_EQ(window_.btnCancel->toolTip().toStdString(), "Выход БЕЗ сохранения настроек");
  EXPECT_EQ(window_.edtPassword->echoMode(), QLineEdit::Password);
  EXPECT_EQ(window_.edtPassword->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter), '*');
  EXPECT_FALSE(window_.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_FALSE(window_.windowFlags() & Qt::WindowMinimizeButtonHint);
}

TEST_F(SettingsWindow, ShowingFillsTheEditsFromTheSettingsInForce) {
  Settings s = settings_.Get();
  s.DBUSER = "ivanov";
  s.DBPASSWORD = "secret";
  s.HTTPPORT = 18181;
  s.LOGDIRNAME = "/var/log/zuntar/";
  settings_.Set(s);
  Open();
  EXPECT_EQ(window_.edtDBPath->text().toStdString(), dir_ / "ZuntarMervoPlugin.gdb");
  EXPECT_EQ(window_.edtDBUserName->text().toStdString(), "ivanov");
  EXPECT_EQ(window_.edtPassword->text().toStdString(), "secret");
  EXPECT_EQ(window_.edtHTTPPortNum->text().toStdString(), "18181");
  EXPECT_EQ(window_.edtLogDirName->text().toStdString(), "/var/log/zuntar/");
}

TEST_F(SettingsWindow, EnterMovesToTheNextControlAndEscCancels) {
  Open();
  QLineEdit* const order[] = {window_.edtDBPath, window_.edtDBUserName, window_.edtPassword, window_.edtHTTPPortNum,
                              window_.edtLogDirName};
  for (QLineEdit* edit : order) {
    ASSERT_TRUE(edit->hasFocus()) << edit->objectName().toStdString();
    QTest::keyClick(edit, Qt::Key_Return);
  }
  EXPECT_TRUE(window_.btnOk->hasFocus());
  EXPECT_TRUE(window_.isVisible()) << "Enter in an edit must not close the window";

  window_.edtDBUserName->setText("changed");
  QTest::keyClick(&window_, Qt::Key_Escape);
  EXPECT_TRUE(WaitUntil([&] { return !window_.isVisible(); }));
  EXPECT_EQ(settings_.Get().DBUSER, "SYSDBA");
  EXPECT_FALSE(FileExists(config_file()));
}

TEST_F(SettingsWindow, CancelAndClosingOnlyHideAndTakeNothing) {
  WriteStringToFile("READTIMEOUT=5\r\nDBUSER=kept\r\n", config_file());
  const Settings before = settings_.Get();
  Open();
  Fill("/elsewhere.gdb", "other", "pw", "1234", "/tmp/");
  QTest::mouseClick(window_.btnCancel, Qt::LeftButton);
  EXPECT_FALSE(window_.isVisible());
  Open();
  window_.close();
  EXPECT_FALSE(window_.isVisible());
  EXPECT_EQ(settings_.Get().DBUSER, before.DBUSER);
  EXPECT_EQ(settings_.Get().HTTPPORT, before.HTTPPORT);
  EXPECT_EQ(ReadOr(config_file()), "READTIMEOUT=5\r\nDBUSER=kept\r\n");
}

TEST_F(SettingsWindow, OkSavesAppliesAndDefersTheDatabasePathToTheNextStart) {
  WriteStringToFile("READTIMEOUT=5\r\nLOGDIRNAME=/old/\r\n", config_file());
  const std::string db_in_force = settings_.Get().DBPATH;
  Open();
  Fill("/data/tasks.gdb", "", "pw", "+18090", "");
  QTest::mouseClick(window_.btnOk, Qt::LeftButton);
  EXPECT_FALSE(window_.isVisible());

  const Settings s = settings_.Get();
  EXPECT_EQ(s.DBPATH, db_in_force) << "tasks may be running on the old database";
  EXPECT_EQ(settings_.DatabasePathForNextStart(), "/data/tasks.gdb");
  EXPECT_EQ(s.DBUSER, "SYSDBA");  // an empty user reads back as the default
  EXPECT_EQ(s.DBPASSWORD, "pw");
  EXPECT_EQ(s.HTTPPORT, 18090);
  EXPECT_EQ(s.LOGDIRNAME, "");
  // The empty log folder and user are removed from the file, other lines kept.
  EXPECT_EQ(ReadOr(config_file()),
            "READTIMEOUT=5\r\nDBPATH=/data/tasks.gdb\r\nDBPASSWORD=pw\r\nHTTPPORT=18090\r\nPOOLSIZE=1\r\n"
            "MAXCONNECTIONS=40\r\nLOG_LEVEL=3\r\n");

  // Shown again before the next Start, the window offers the saved path.
  Open();
  EXPECT_EQ(window_.edtDBPath->text().toStdString(), "/data/tasks.gdb");
  window_.close();
  settings_.ApplyDeferredDatabasePath();
  EXPECT_EQ(settings_.Get().DBPATH, "/data/tasks.gdb");
  EXPECT_EQ(settings_.DatabasePathForNextStart(), "/data/tasks.gdb");
}

TEST_F(SettingsWindow, OkWithABadFieldTakesNothingKeepsTheWindowOpenAndLogs) {
  struct Case {
    const char* port;
    const char* user;
    const char* log_line;
    QLineEdit* TfrmSettings::*field;
  };
  const Case cases[] = {
      {"80a", "other", "Unhandled exception EConvertError '80a' is not a valid integer value",
       &TfrmSettings::edtHTTPPortNum},
      {" 80", "other", "Unhandled exception EConvertError ' 80' is not a valid integer value",
       &TfrmSettings::edtHTTPPortNum},
      {"70000", "other", "Unhandled exception EConvertError '70000' is not a valid port number (1-65535)",
       &TfrmSettings::edtHTTPPortNum},
      {"80", "a\nHTTPPORT=1", "Unhandled exception EConvertError Поле \"Пользователь БД\" содержит управляющий символ",
       &TfrmSettings::edtDBUserName},
      {"80", "Иван 王",
       "Unhandled exception EConvertError Поле \"Пользователь БД\" содержит символы, которых нет в "
       "кодовой странице 1251",
       &TfrmSettings::edtDBUserName},
  };
  for (const Case& c : cases) {
    Open();
    Fill("/other.gdb", c.user, "pw", c.port, "/logs/");
    QTest::mouseClick(window_.btnOk, Qt::LeftButton);
    EXPECT_TRUE(window_.isVisible()) << c.port;
    QWidget* failure = VisibleWindow("settingsFailure");
    if (failure == nullptr) failure = window_.findChild<QMessageBox*>("settingsFailure");
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(window_.focusWidget(), window_.*c.field);
    EXPECT_NE(Log().find(c.log_line), std::string::npos) << Log();
    // Nothing of the window reached the settings or the file: the path and
    // user before the bad port included.
    EXPECT_EQ(settings_.Get().DBUSER, "SYSDBA");
    EXPECT_EQ(settings_.DatabasePathForNextStart(), dir_ / "ZuntarMervoPlugin.gdb");
    EXPECT_EQ(settings_.Get().LOGDIRNAME, "");
    EXPECT_FALSE(FileExists(config_file()));
    failure->close();
  }
}

TEST_F(SettingsWindow, AConfigurationThatCannotBeWrittenChangesNothing) {
  // The configuration file's place is taken by a folder.
  std::filesystem::create_directory(config_file());
  Open();
  Fill("/other.gdb", "other", "pw", "8080", "");
  QTest::mouseClick(window_.btnOk, Qt::LeftButton);
  EXPECT_TRUE(window_.isVisible());
  EXPECT_NE(Log().find("Unhandled exception EFCreateError"), std::string::npos) << Log();
  EXPECT_EQ(settings_.Get().HTTPPORT, 18080);
  EXPECT_EQ(settings_.Get().DBUSER, "SYSDBA");
}

}  // namespace
}  // namespace zuntar
