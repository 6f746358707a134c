#include "host/desktop/origin_consent_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>

namespace zuntar {
namespace {

// Result codes of the three buttons; Esc and closing give QDialog::Rejected.
constexpr int kAlways = 10;
constexpr int kOnce = 11;
constexpr int kDeny = 12;

QPushButton* AddButton(QDialog* dialog, QHBoxLayout* row, const char* text, const char* name, int code) {
  auto* button = new QPushButton(QString::fromUtf8(text), dialog);
  button->setObjectName(name);
  button->setAutoDefault(false);
  row->addWidget(button);
  QObject::connect(button, &QPushButton::clicked, dialog, [dialog, code] { dialog->done(code); });
  return button;
}

}  // namespace

OriginConsentDialog::OriginConsentDialog(const std::string& origin)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
  setObjectName("originConsentDialog");
  setWindowTitle(QString::fromUtf8(kOriginConsentCaption));
  auto* layout = new QGridLayout(this);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  layout->setHorizontalSpacing(16);
  layout->setVerticalSpacing(16);
  layout->setContentsMargins(16, 16, 16, 12);

  auto* picture = new QLabel(this);
  const int size = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
  picture->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning, nullptr, this).pixmap(size, size));
  layout->addWidget(picture, 0, 0, 2, 1, Qt::AlignTop);
  // The site's name comes from a web page: shown as plain text, never markup.
  message_ = new QLabel(QString::fromStdString(OriginConsentMessage(origin)), this);
  message_->setObjectName("message");
  message_->setTextFormat(Qt::PlainText);
  message_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(message_, 0, 1);
  auto* advice = new QLabel(
      QString::fromUtf8("Разрешайте только сайту, которому доверяете подписывать документы от вашего имени."), this);
  advice->setObjectName("advice");
  layout->addWidget(advice, 1, 1);

  auto* row = new QHBoxLayout;
  row->addStretch();
  always_ = AddButton(this, row, kOriginAllowAlwaysButton, "btnAllowAlways", kAlways);
  once_ = AddButton(this, row, kOriginAllowOnceButton, "btnAllowOnce", kOnce);
  deny_ = AddButton(this, row, kOriginDenyButton, "btnDeny", kDeny);
  layout->addLayout(row, 2, 0, 1, 2);
  deny_->setDefault(true);
  deny_->setFocus();
}

OriginConsent OriginConsentDialog::AnswerOf(int result) {
  switch (result) {
    case kAlways:
      return OriginConsent::kAllowAlways;
    case kOnce:
      return OriginConsent::kAllowOnce;
    case kDeny:
      return OriginConsent::kDeny;
    default:
      return OriginConsent::kNoAnswer;
  }
}

QString OriginConsentDialog::text() const { return message_->text(); }

}  // namespace zuntar
