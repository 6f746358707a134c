#include "host/desktop/session_lock_watch.h"

#include <sys/stat.h>

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QObject>
#include <QVariantMap>
#include <cstdlib>

#include "core/log.h"
#include "platform/capi/api/crypt_api.h"
#include "platform/login_session.h"

namespace zuntar {
namespace {

constexpr char kLogind[] = "org.freedesktop.login1";
constexpr char kManagerPath[] = "/org/freedesktop/login1";
constexpr char kManager[] = "org.freedesktop.login1.Manager";
constexpr char kSession[] = "org.freedesktop.login1.Session";
constexpr char kProperties[] = "org.freedesktop.DBus.Properties";

// Qt's D-Bus machinery (a thread of its own, slow to take down) starts only
// where there is a system bus to reach: not in containers and test runs.
bool SystemBusAround() {
  const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  if (address != nullptr && *address != '\0') return true;
  struct stat st {};
  return ::stat("/run/dbus/system_bus_socket", &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

// Qt delivers D-Bus signals to slots; this object has them. Only logind's
// own messages arrive: the connections name it as the sender.
class SessionLockSignals : public QObject {
  Q_OBJECT

 public:
  SessionLockSignals(std::string session, std::function<void(const std::string&)> forget)
      : session_(std::move(session)), forget_(std::move(forget)) {}

 public slots:
  void Locked() { forget_("the screen was locked"); }
  void PropertiesChanged(const QString& interface, const QVariantMap& changed, const QStringList&) {
    const auto hint = changed.find(QStringLiteral("LockedHint"));
    if (interface == QLatin1String(kSession) && hint != changed.end() && hint->toBool())
      forget_("the screen was locked");
  }
  void SessionRemoved(const QString& id, const QDBusObjectPath&) {
    if (id.toStdString() == session_) forget_("the desktop session ended");
  }
  void PrepareForShutdown(bool starting) {
    if (starting) forget_("the machine shuts down");
  }

 private:
  std::string session_;
  std::function<void(const std::string&)> forget_;
};

SessionLockWatch::SessionLockWatch(const std::string& session, std::function<void(const std::string&)> forget)
    : signals_(std::make_unique<SessionLockSignals>(session, std::move(forget))) {
  if (!SystemBusAround()) return;
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) return;
  bool ok = bus.connect(kLogind, kManagerPath, kManager, "PrepareForShutdown", signals_.get(),
                        SLOT(PrepareForShutdown(bool)));
  const QString path = QString::fromStdString(LoginSessionObjectPath(session));
  if (!path.isEmpty()) {
    ok = bus.connect(kLogind, path, kSession, "Lock", signals_.get(), SLOT(Locked())) && ok;
    ok = bus.connect(kLogind, path, kProperties, "PropertiesChanged", signals_.get(),
                     SLOT(PropertiesChanged(QString, QVariantMap, QStringList))) &&
         ok;
    ok = bus.connect(kLogind, kManagerPath, kManager, "SessionRemoved", signals_.get(),
                     SLOT(SessionRemoved(QString, QDBusObjectPath))) &&
         ok;
  }
  watching_ = ok;
}

SessionLockWatch::~SessionLockWatch() = default;

std::unique_ptr<SessionLockWatch> ForgetKeysWhenSessionLocks(const std::string& session) {
  auto watch = std::make_unique<SessionLockWatch>(session, [](const std::string& why) {
    DropPrivateKeyCache();
    LogEvent("Unlocked private keys forgotten: " + why);
  });
  if (!watch->watching())
    LogEvent("Cannot watch the desktop session on the system bus: locking the screen does not forget the "
             "unlocked keys");
  return watch;
}

}  // namespace zuntar

#include "session_lock_watch.moc"
