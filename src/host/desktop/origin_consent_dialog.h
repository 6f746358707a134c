// The question a web site's first request puts to the person: may this site
// use your certificates and keys? Three answers (allow always, allow this
// time, deny); Esc and the window's close button give none. Deny is the
// default button, so a hurried Enter never lets a site in.
#pragma once

#include <QDialog>

#include "platform/user_prompt.h"

class QLabel;
class QPushButton;

namespace zuntar {

class OriginConsentDialog : public QDialog {
 public:
  explicit OriginConsentDialog(const std::string& origin);

  // The answer a finished dialog's result code stands for.
  static OriginConsent AnswerOf(int result);

  QString text() const;
  QPushButton* allowAlwaysButton() const { return always_; }
  QPushButton* allowOnceButton() const { return once_; }
  QPushButton* denyButton() const { return deny_; }

 private:
  QLabel* message_;
  QPushButton* always_;
  QPushButton* once_;
  QPushButton* deny_;
};

}  // namespace zuntar
