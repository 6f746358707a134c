// TfrmSettings: the program's only window, with the database, port and log
// folder settings. It lives hidden for the whole run and is shown from the
// tray; closing it only hides it.
//
// Ok checks every edit before it takes any, writes the configuration file
// and only then puts the values in force; a changed database path takes
// effect at the next Start. When an edit cannot be taken or the file cannot
// be written, nothing changes, the window stays open, the failure is logged
// as an unhandled exception and shown. Enter in an edit moves to the next
// control; Esc is Cancel.
//
// The window also lists the web sites the person allowed always or denied
// (the answers remembered for this user); a site revoked there is forgotten
// at Ok, and its next request asks again.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "core/process_values.h"
#include "core/settings.h"

class QLineEdit;
class QListWidget;
class QPushButton;

namespace zuntar {

class TfrmSettings : public QDialog {
 public:
  // `settings`: those in force, which it shows and changes; they must
  // outlive the window. `values`: the instance's start-up values (where the
  // configuration is saved).
  TfrmSettings(SettingsInForce& settings, StartupValues values, QWidget* parent = nullptr);

  QLineEdit* edtDBPath;
  QLineEdit* edtDBUserName;
  QLineEdit* edtPassword;
  QLineEdit* edtHTTPPortNum;
  QLineEdit* edtLogDirName;
  QPushButton* btnOk;
  QPushButton* btnCancel;
  QListWidget* lstOrigins;  // an item's data (Qt::UserRole) is its origin
  QPushButton* btnRevokeOrigin;

  // Shows the window in front, filled from the settings in force.
  void Open();

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void FormShow();
  void FillOrigins();
  void btnOkClick();
  void btnRevokeOriginClick();
  // Logs `log_line` and shows `message` (UTF-8); `field` takes the focus.
  void ShowFailure(const std::string& log_line, const std::string& message, QLineEdit* field);

  SettingsInForce& settings_;
  const StartupValues values_;
  std::vector<std::string> revoked_;  // forgotten at Ok
};

}  // namespace zuntar
