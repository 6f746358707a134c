// The unlocked keys go when logind says the desktop session locked its
// screen. The system bus is a dbus-daemon of the test's own, on which the
// test plays logind.
#include <gtest/gtest.h>
#include <signal.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>

#include "desktop_fixture.h"
#include "host/desktop/session_lock_watch.h"
#include "platform/capi/api/crypt_api.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/base/wide_text.h"
#include "platform/capi/csp/container_import.h"
#include "platform/login_session.h"
#include "support/scoped_env.h"
#include "support/scripted_prompt.h"
#include "support/test_pki.h"
#include "support/tool_run.h"

namespace zuntar {
namespace {

constexpr char kPin[] = "1234";

// A bus daemon of its own, ended with the object.
class PrivateBus {
 public:
  explicit PrivateBus(const std::string& socket) : address_("unix:path=" + socket) {
    const test::ToolRun started = test::Command("dbus-daemon --session --fork --print-pid --address=" + address_);
    if (started.status == 0) pid_ = std::atoi(started.out.c_str());
  }
  ~PrivateBus() {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
  }
  bool running() const { return pid_ > 0; }
  const std::string& address() const { return address_; }

 private:
  std::string address_;
  pid_t pid_ = 0;
};

// 0 when the certificate's key signs, else the failure's code.
DWORD Sign(const PCCERT_CONTEXT& cert, DWORD flags) {
  HCRYPTPROV prov;
  DWORD key_spec = 0;
  HCRYPTHASH hash;
  BYTE signature[64];
  DWORD len = sizeof signature;
  if (!CryptAcquireCertificatePrivateKey(cert, flags, nullptr, &prov, &key_spec, nullptr) ||
      !CryptCreateHash(prov, CALG_GR3411_2012_256, nullptr, 0, &hash) ||
      !CryptSetHashParam(hash, HP_HASHVAL, Bytes(32, 'x'), 0) ||
      !CryptSignHashA(hash, key_spec, nullptr, 0, signature, &len))
    return GetLastError();
  return 0;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class SessionLockTest : public test::DesktopTest {};

TEST_F(SessionLockTest, LockingTheScreenForgetsTheUnlockedKeys) {
  if (std::system("command -v dbus-daemon >/dev/null") != 0) GTEST_SKIP() << "dbus-daemon is not installed";
  PrivateBus bus(dir_ / "system_bus");
  ASSERT_TRUE(bus.running());
  const test::ScopedEnv system_bus("DBUS_SYSTEM_BUS_ADDRESS", bus.address());
  QDBusConnection logind = QDBusConnection::connectToBus(QString::fromStdString(bus.address()), "logind");
  ASSERT_TRUE(logind.isConnected());
  ASSERT_TRUE(logind.registerService("org.freedesktop.login1"));

  // A key behind a PIN, unlocked once.
  const test::ScopedPlatformRoot root(dir_ / "platform");
  test::ScriptedPrompt prompt;
  const test::Issued user = test::MakeUser(test::MakeCa(), "Сессия");
  ASSERT_TRUE(ImportKeyContainer("\\\\.\\REGISTRY\\desk", user.key.get(), user.der, kPin, AT_KEYEXCHANGE));
  const PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, user.der);
  CRYPT_KEY_PROV_INFO info{Utf16FromUtf8("\\\\.\\REGISTRY\\desk"), {}, PROV_GOST_2012_256, 0, AT_KEYEXCHANGE};
  ASSERT_TRUE(CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  prompt.pins = {kPin, kPin};
  ASSERT_EQ(Sign(cert, 0), 0u);
  ASSERT_EQ(Sign(cert, CRYPT_ACQUIRE_SILENT_FLAG), 0u);

  const std::unique_ptr<SessionLockWatch> watch = ForgetKeysWhenSessionLocks("7");
  ASSERT_TRUE(watch->watching());
  // One round trip on the plugin's connection: its match rules are in place.
  QDBusConnection::systemBus().call(QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                                   "org.freedesktop.DBus", "GetId"));
  const auto session_path = [](const char* id) { return QString::fromStdString(LoginSessionObjectPath(id)); };
  const std::string forgotten = "Unlocked private keys forgotten: the screen was locked";

  // Another person's session locks first: nothing happens to these keys.
  ASSERT_TRUE(logind.send(QDBusMessage::createSignal(session_path("8"), "org.freedesktop.login1.Session", "Lock")));
  ASSERT_TRUE(logind.send(QDBusMessage::createSignal(session_path("7"), "org.freedesktop.login1.Session", "Lock")));
  ASSERT_TRUE(test::WaitUntil([&] { return Count(Log(), forgotten) > 0; })) << Log();
  EXPECT_EQ(Count(Log(), forgotten), 1u) << Log();
  EXPECT_EQ(Sign(cert, CRYPT_ACQUIRE_SILENT_FLAG), static_cast<DWORD>(NTE_SILENT_CONTEXT));

  // A desktop that locks by itself tells logind, which says LockedHint.
  ASSERT_EQ(Sign(cert, 0), 0u);
  QDBusMessage hint = QDBusMessage::createSignal(session_path("7"), "org.freedesktop.DBus.Properties", "PropertiesChanged");
  hint << QString("org.freedesktop.login1.Session") << QVariantMap{{"LockedHint", true}} << QStringList();
  ASSERT_TRUE(logind.send(hint));
  ASSERT_TRUE(test::WaitUntil([&] { return Count(Log(), forgotten) == 2; })) << Log();
  EXPECT_EQ(Sign(cert, CRYPT_ACQUIRE_SILENT_FLAG), static_cast<DWORD>(NTE_SILENT_CONTEXT));
  EXPECT_EQ(prompt.asked, (std::vector<std::string>{"pin:desk", "pin:desk"}));
  QDBusConnection::disconnectFromBus("logind");
}

}  // namespace
}  // namespace zuntar
