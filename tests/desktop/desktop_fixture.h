// Desktop tests run on Qt's offscreen platform, one application object for
// the whole test program, with the Russian texts (code page 1251) and a
// private folder for the configuration file and the log.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <QWidget>
#include <string>

#include "core/process_values.h"
#include "core/settings.h"
#include "core/utf.h"
#include "platform/file_io.h"
#include "support/temp_dir.h"

namespace zuntar::test {

class DesktopTest : public ::testing::Test {
 protected:
  DesktopTest() {
    instance_ = BasicStartupValues(dir_.path());
    instance_.PluginVersion = "1.0.0.1";
    SetStartupValues(instance_);
    settings_.Set(DefaultSettings(dir_.path()));
  }
  ~DesktopTest() override {
    for (QWidget* w : QApplication::topLevelWidgets()) w->close();
    QApplication::processEvents();
  }

  std::string config_file() const { return dir_ / "ZuntarMervoPlugin.ini"; }
  std::string ReadOr(const std::string& file) const {
    try {
      return ReadFileToString(file);
    } catch (const std::exception&) {
      return {};
    }
  }
  // The log in UTF-8.
  std::string Log() const { return Utf8FromAnsi(ReadOr(LogFileName())); }

  TempDir dir_;
  // The window's, where a test has no control.
  SettingsInForce settings_;
  StartupValues instance_;
};

// The visible top-level window named `name`, or null.
inline QWidget* VisibleWindow(const char* name) {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible() && w->objectName() == name) return w;
  return nullptr;
}

// Runs the event loop until `condition` holds (at most ten seconds).
template <class Condition>
bool WaitUntil(Condition condition) {
  return QTest::qWaitFor(condition, 10000);
}

}  // namespace zuntar::test
