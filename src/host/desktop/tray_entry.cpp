#include "host/desktop/tray_entry.h"

#include <QCursor>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionMenuItem>
#include <QWidgetAction>

#include "core/process_values.h"
#include "host/desktop/desktop_texts.h"
#include "host/desktop/settings_window.h"

namespace zuntar {
namespace {

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

// The version item: its own drawing (italic, grey, 6 pixels right of and
// 2 below the item's corner) and a click that triggers its action.
class VersionItem : public QWidget {
 public:
  VersionItem(QWidgetAction* action, QWidget* parent) : QWidget(parent), action_(action) {
    setObjectName("mVersionItem");
    setMouseTracking(true);
    QFont italic = font();
    italic.setItalic(true);
    setFont(italic);
  }

  QSize sizeHint() const override {
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(action_->text()) + 6 + 24, metrics.height() + 2 + 4};
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    if (underMouse()) p.fillRect(rect(), palette().color(QPalette::Highlight).lighter(170));
    p.setPen(QColor(0x80, 0x80, 0x80));  // 8421504
    p.drawText(rect().adjusted(6, 2, 0, 0), Qt::AlignLeft | Qt::AlignTop, action_->text());
  }
  void enterEvent(QEnterEvent*) override { update(); }
  void leaveEvent(QEvent*) override { update(); }
  void mouseReleaseEvent(QMouseEvent* event) override {
    if (event->button() != Qt::LeftButton || !rect().contains(event->position().toPoint())) return;
    // A widget item does not close its menu by itself.
    for (QWidget* w = parentWidget(); w != nullptr; w = w->parentWidget())
      if (auto* menu = qobject_cast<QMenu*>(w)) menu->close();
    action_->trigger();
  }

 private:
  QWidgetAction* action_;
};

class VersionAction : public QWidgetAction {
 public:
  using QWidgetAction::QWidgetAction;

 protected:
  QWidget* createWidget(QWidget* parent) override { return new VersionItem(this, parent); }
};

QAction* AddItem(QMenu& menu, const char* name, const QString& caption, QAction* action, bool visible) {
  QAction* item = menu.addAction(caption);
  item->setObjectName(name);
  item->setVisible(visible);
  item->setEnabled(action->isEnabled());
  QObject::connect(item, &QAction::triggered, action, &QAction::trigger);
  QObject::connect(action, &QAction::enabledChanged, item, &QAction::setEnabled);
  return item;
}

QAction* AddSeparator(QMenu& menu, const char* name, bool visible) {
  QAction* separator = menu.addSeparator();
  separator->setObjectName(name);
  separator->setVisible(visible);
  return separator;
}

}  // namespace

TrayEntry::TrayEntry(TfrmSettings& window, PluginActions& actions, bool app_mode) : window_(window), actions_(actions) {
  const ProcessValues& startup = Startup();
  const bool cp1251 = startup.IsCP1251;
  const std::string& instance_name = actions.control().instance().InstanceName;
  menu_.setObjectName("PopupMenu");
  // Never shown on screen; names the menu's window for accessibility tools.
  menu_.setWindowTitle(Q(TrayTip(cp1251, instance_name)));
  // The settings entry is visible: otherwise nothing in the tray opens the window.
  QAction* open = AddItem(menu_, "piOpen", Q(OpenItemCaption(cp1251)), actions.actOpen, true);
  menu_.setDefaultAction(open);
  version_item_ = new VersionAction(&menu_);
  version_item_->setObjectName("mVersion");
  version_item_->setText(Q(VersionItemCaption(cp1251, startup.PluginVersion)));
  QObject::connect(version_item_, &QAction::triggered, &menu_, [this] { ShowVersionBox(); });
  menu_.addAction(version_item_);
  AddSeparator(menu_, "N1", app_mode);
  // The service's own operations: the application only runs and exits.
  AddItem(menu_, "piStart", QString::fromUtf8("&Запустить"), actions.actStart, false);
  AddItem(menu_, "piStop", QString::fromUtf8("Остановить"), actions.actStop, false);
  AddItem(menu_, "piPause", QString::fromUtf8("&Пауза"), actions.actPause, false);
  AddItem(menu_, "piContinue", QString::fromUtf8("Продолжить"), actions.actContinue, false);
  AddSeparator(menu_, "N2", false);
  AddItem(menu_, "piExit", Q(ExitItemCaption(cp1251)), actions.actExit, app_mode);

  if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
  icon_ = std::make_unique<QSystemTrayIcon>(PluginIcon(actions.state()));
  icon_->setToolTip(Q(TrayTip(startup.IsCP1251, instance_name)));
  // No context menu of the icon's own: a right click opens the menu only
  // while the settings window is hidden.
  QObject::connect(icon_.get(), &QSystemTrayIcon::activated, &menu_, [this](QSystemTrayIcon::ActivationReason r) {
    if (r == QSystemTrayIcon::Context) RightClick(QCursor::pos());
    if (r == QSystemTrayIcon::DoubleClick) actions_.actOpen->trigger();
  });
  icon_->show();
}

TrayEntry::~TrayEntry() {
  if (version_box_) delete version_box_.data();
}

QAction* TrayEntry::Item(const char* name) {
  for (QAction* a : menu_.actions())
    if (a->objectName() == name) return a;
  return nullptr;
}

void TrayEntry::SetState(PluginState state) {
  if (icon_) icon_->setIcon(PluginIcon(state));
}

void TrayEntry::ShowWarning(const std::string& text) {
  last_warning_ = Q(text);
  if (icon_) icon_->showMessage(Q(ProgramCaption(Startup().IsCP1251)), last_warning_, QSystemTrayIcon::Warning, 15000);
}

void TrayEntry::RightClick(const QPoint& where) {
  window_.raise();
  if (window_.isVisible()) {
    window_.activateWindow();
    return;
  }
  menu_.popup(where);
  menu_.activateWindow();
}

void TrayEntry::ShowVersionBox() {
  if (version_box_) {
    version_box_->raise();
    version_box_->activateWindow();
    return;
  }
  const bool cp1251 = Startup().IsCP1251;
  QString text = Q(VersionBoxText(cp1251, version_item_->text().toStdString(),
                                  InstalledProviderVersions(actions_.control().Providers())));
  text.replace("\r\n", "\n");
  auto* box = new QMessageBox(QMessageBox::NoIcon, Q(ProgramCaption(cp1251)), text.trimmed());
  box->setObjectName("versionBox");
  box->setIconPixmap(PluginIcon(PluginState::kRunning).pixmap(48, 48));
  QPushButton* close = box->addButton(Q(CloseButtonCaption(cp1251)), QMessageBox::RejectRole);
  box->setDefaultButton(close);
  box->setEscapeButton(close);
  box->setAttribute(Qt::WA_DeleteOnClose);
  version_box_ = box;
  box->show();
  box->raise();
  box->activateWindow();
}

}  // namespace zuntar
