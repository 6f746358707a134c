#include "host/desktop/settings_window.h"

#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "core/log.h"
#include "core/process_values.h"
#include "core/utf.h"
#include "host/desktop/desktop_texts.h"
#include "host/desktop/settings_edits.h"
#include "host/unhandled.h"
#include "platform/origin_consent_file.h"

namespace zuntar {
namespace {

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }
QString Q(const std::u16string& text) { return QString::fromStdU16String(text); }
std::u16string U(const QLineEdit* edit) { return edit->text().toStdU16String(); }

// The password edit shows each character as '*'.
class StarEchoStyle : public QProxyStyle {
 public:
  using QProxyStyle::QProxyStyle;
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* data) const override {
    if (hint == SH_LineEdit_PasswordCharacter) return '*';
    return QProxyStyle::styleHint(hint, option, widget, data);
  }
};

QFrame* Panel(QWidget* parent) {
  auto* panel = new QFrame(parent);
  panel->setFrameShape(QFrame::StyledPanel);
  panel->setFrameShadow(QFrame::Raised);
  return panel;
}

QLineEdit* AddEdit(QGridLayout* grid, QWidget* panel, const char* label, const char* name) {
  auto* edit = new QLineEdit(panel);
  edit->setObjectName(name);
  edit->setMinimumWidth(320);
  const int row = grid->rowCount();
  grid->addWidget(new QLabel(QString::fromUtf8(label), panel), row, 0);
  grid->addWidget(edit, row + 1, 0);
  return edit;
}

QString OriginItemText(const std::string& origin, OriginConsent consent) {
  return Q(origin + (consent == OriginConsent::kAllowAlways ? " — разрешён всегда" : " — запрещён"));
}

}  // namespace

TfrmSettings::TfrmSettings(SettingsInForce& settings, StartupValues values, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      settings_(settings),
      values_(std::move(values)) {
  setObjectName("frmSettings");
  setWindowTitle(QString::fromUtf8("Настройки"));

  QFrame* db_panel = Panel(this);
  auto* db_grid = new QGridLayout(db_panel);
  edtDBPath = AddEdit(db_grid, db_panel, "Путь к базе плагина", "edtDBPath");
  edtDBUserName = AddEdit(db_grid, db_panel, "Пользователь БД", "edtDBUserName");
  edtPassword = AddEdit(db_grid, db_panel, "Пароль", "edtPassword");
  edtPassword->setEchoMode(QLineEdit::Password);
  edtPassword->setStyle(new StarEchoStyle(nullptr));
  edtPassword->style()->setParent(edtPassword);
  edtHTTPPortNum = AddEdit(db_grid, db_panel, "http порт", "edtHTTPPortNum");

  QFrame* log_panel = Panel(this);
  auto* log_grid = new QGridLayout(log_panel);
  edtLogDirName = AddEdit(log_grid, log_panel, "Каталог для файла с протоколом", "edtLogDirName");

  QFrame* button_panel = Panel(this);
  auto* buttons = new QHBoxLayout(button_panel);
  btnOk = new QPushButton("Ok", button_panel);
  btnOk->setObjectName("btnOk");
  btnOk->setToolTip(QString::fromUtf8("Выход с сохранением настроек"));
  btnCancel = new QPushButton(QString::fromUtf8("Отмена"), button_panel);
  btnCancel->setObjectName("btnCancel");
  btnCancel->setToolTip(QString::fromUtf8("Выход БЕЗ сохранения настроек"));
  buttons->addStretch();
  buttons->addWidget(btnOk);
  buttons->addWidget(btnCancel);

  // Made after the buttons, so Enter in the last edit still moves to Ok.
  QFrame* origins_panel = Panel(this);
  auto* origins_grid = new QGridLayout(origins_panel);
  origins_grid->addWidget(new QLabel(Q("Сайты с решением о доступе к ключам"), origins_panel), 0, 0, 1, 2);
  lstOrigins = new QListWidget(origins_panel);
  lstOrigins->setObjectName("lstOrigins");
  lstOrigins->setMinimumWidth(320);
  lstOrigins->setMaximumHeight(120);
  origins_grid->addWidget(lstOrigins, 1, 0);
  btnRevokeOrigin = new QPushButton(Q("Отозвать"), origins_panel);
  btnRevokeOrigin->setObjectName("btnRevokeOrigin");
  btnRevokeOrigin->setToolTip(Q("Сайт снова спросит разрешения (после Ok)"));
  origins_grid->addWidget(btnRevokeOrigin, 1, 1, Qt::AlignTop);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(db_panel);
  layout->addWidget(log_panel);
  layout->addWidget(origins_panel);
  layout->addWidget(button_panel);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  for (QLineEdit* edit : {edtDBPath, edtDBUserName, edtPassword, edtHTTPPortNum, edtLogDirName})
    edit->installEventFilter(this);
  connect(btnOk, &QPushButton::clicked, this, [this] { btnOkClick(); });
  connect(btnRevokeOrigin, &QPushButton::clicked, this, [this] { btnRevokeOriginClick(); });
  connect(lstOrigins, &QListWidget::currentRowChanged, this,
          [this](int row) { btnRevokeOrigin->setEnabled(row >= 0); });
  // Esc reaches reject() too: the dialog's own escape handling.
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TfrmSettings::Open() {
  show();
  raise();
  activateWindow();
}

void TfrmSettings::showEvent(QShowEvent* event) {
  FormShow();
  QDialog::showEvent(event);
  // Centred on the screen, not on whatever the window manager picks.
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
}

void TfrmSettings::FormShow() {
  const SettingsEdits edits = EditsForSettingsInForce(settings_);
  edtDBPath->setText(Q(edits.db_path));
  edtDBUserName->setText(Q(edits.db_user));
  edtPassword->setText(Q(edits.password));
  edtHTTPPortNum->setText(Q(edits.http_port));
  edtLogDirName->setText(Q(edits.log_dir));
  FillOrigins();
  edtDBPath->setFocus();
}

void TfrmSettings::FillOrigins() {
  revoked_.clear();
  lstOrigins->clear();
  for (const auto& [origin, consent] : OriginConsentFile().Load()) {
    auto* item = new QListWidgetItem(OriginItemText(origin, consent), lstOrigins);
    item->setData(Qt::UserRole, Q(origin));
  }
  btnRevokeOrigin->setEnabled(false);
}

void TfrmSettings::btnRevokeOriginClick() {
  QListWidgetItem* item = lstOrigins->currentItem();
  if (item == nullptr) return;
  revoked_.push_back(item->data(Qt::UserRole).toString().toStdString());
  delete item;
  btnRevokeOrigin->setEnabled(lstOrigins->currentRow() >= 0);
}

bool TfrmSettings::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      focusNextChild();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TfrmSettings::btnOkClick() {
  const SettingsEdits edits{U(edtDBPath), U(edtDBUserName), U(edtPassword), U(edtHTTPPortNum), U(edtLogDirName)};
  const TakenSettings taken = TakeSettingsEdits(edits, settings_.Get());
  if (taken.error) {
    QLineEdit* const fields[] = {edtDBPath, edtDBUserName, edtPassword, edtHTTPPortNum, edtLogDirName};
    ShowFailure(UnhandledExceptionText(taken.error->class_name, AnsiFromUtf8(taken.error->message)),
                taken.error->message, fields[static_cast<int>(taken.error->field)]);
    return;
  }
  try {
    SaveAndApplySettings(taken.settings, settings_, values_);
    OriginConsentFile consents;
    while (!revoked_.empty()) {
      consents.Forget(revoked_.back());
      revoked_.pop_back();
    }
  } catch (const std::exception& e) {
    ShowFailure(UnhandledExceptionText(e), Utf8FromAnsi(e.what()), nullptr);
    return;
  }
  accept();
}

void TfrmSettings::ShowFailure(const std::string& log_line, const std::string& message, QLineEdit* field) {
  LogError(log_line);
  auto* box =
      new QMessageBox(QMessageBox::Warning, Q(ProgramCaption(Startup().IsCP1251)), Q(message), QMessageBox::Ok, this);
  box->setObjectName("settingsFailure");
  box->setAttribute(Qt::WA_DeleteOnClose);
  if (field != nullptr) {
    field->setFocus();
    field->selectAll();
  }
  box->open();
}

}  // namespace zuntar
