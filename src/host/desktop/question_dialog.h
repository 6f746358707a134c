// A question with two buttons, laid out like a message dialog: an icon, the
// message with its own line breaks, and the buttons. The first button is
// the default (Enter) and accepts; the second answers Esc and the window's
// close button. The dialog is as wide as the message's longest line, up to
// nine tenths of the screen (a message box would wrap at 500 pixels).
#pragma once

#include <QDialog>
#include <QMessageBox>

class QLabel;
class QPushButton;

namespace zuntar {

class QuestionDialog : public QDialog {
 public:
  QuestionDialog(QMessageBox::Icon icon, const QString& caption, const QString& message, const QString& ok,
                 const QString& cancel);

  QString text() const;
  QMessageBox::Icon icon() const { return icon_; }
  QPushButton* okButton() const { return ok_; }
  QPushButton* cancelButton() const { return cancel_; }

 private:
  QMessageBox::Icon icon_;
  QLabel* message_;
  QPushButton* ok_;
  QPushButton* cancel_;
};

}  // namespace zuntar
