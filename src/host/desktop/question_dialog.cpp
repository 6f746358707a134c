#include "host/desktop/question_dialog.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

namespace zuntar {

QuestionDialog::QuestionDialog(QMessageBox::Icon icon, const QString& caption, const QString& message,
                               const QString& ok, const QString& cancel)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      icon_(icon) {
  setObjectName("questionDialog");
  setWindowTitle(caption);
  auto* layout = new QGridLayout(this);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  layout->setHorizontalSpacing(16);
  layout->setVerticalSpacing(16);
  layout->setContentsMargins(16, 16, 16, 12);
  if (icon != QMessageBox::NoIcon) {
    auto* picture = new QLabel(this);
    const int size = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    const QStyle::StandardPixmap kind = icon == QMessageBox::Question   ? QStyle::SP_MessageBoxQuestion
                                        : icon == QMessageBox::Warning  ? QStyle::SP_MessageBoxWarning
                                        : icon == QMessageBox::Critical ? QStyle::SP_MessageBoxCritical
                                                                        : QStyle::SP_MessageBoxInformation;
    picture->setPixmap(style()->standardIcon(kind, nullptr, this).pixmap(size, size));
    layout->addWidget(picture, 0, 0, Qt::AlignTop);
  }
  message_ = new QLabel(message, this);
  message_->setObjectName("message");
  message_->setTextFormat(Qt::PlainText);
  message_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const int limit = screen->availableGeometry().width() * 9 / 10 - 100;
    if (message_->sizeHint().width() > limit) {
      message_->setWordWrap(true);
      message_->setFixedWidth(limit);
    }
  }
  layout->addWidget(message_, 0, 1);

  // In the order given, whatever the desktop's usual order of buttons.
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  ok_ = new QPushButton(ok, this);
  ok_->setObjectName("okButton");
  cancel_ = new QPushButton(cancel, this);
  cancel_->setObjectName("cancelButton");
  buttons->addWidget(ok_);
  buttons->addWidget(cancel_);
  layout->addLayout(buttons, 1, 0, 1, 2);
  ok_->setDefault(true);
  ok_->setFocus();
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

QString QuestionDialog::text() const { return message_->text(); }

}  // namespace zuntar
