// The certificate manager: its slots, the factory and the process-wide
// instance, the certificate each operation takes, signing, encryption and
// the store listings.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "certs/cert_text.h"
#include "certs/os_error.h"
#include "core/utf.h"
#include "crypto/cert_identity.h"
#include "crypto/cert_lookup.h"
#include "crypto/cert_manager_csp.h"
#include "crypto/cert_manager_instance.h"
#include "crypto/decoded_messages.h"
#include "crypto/store_listing.h"
#include "crypto/streams.h"
#include "crypto_fixture.h"
#include "platform/capi/base/error_codes.h"
#include "platform/file_io.h"

namespace zuntar {

// The reserved slots, as only this test of the slot layout calls them.
struct TVCertMgrReservedSlots {
  static void Reserved29(TVCertMgr& m) { m.Reserved29(); }
  static void Reserved31(TVCertMgr& m) { m.Reserved31(); }
  static bool Reserved32(TVCertMgr& m) { return m.Reserved32(); }
  static bool Reserved36(TVCertMgr& m) { return m.Reserved36(); }
  static void Reserved37(TVCertMgr& m) { m.Reserved37(); }
};

namespace {

using Slots = TVCertMgrReservedSlots;

// The message of the exception `call` raises, checked to be of class E.
template <typename E, typename F>
std::string RaisedBy(F call) {
  try {
    call();
  } catch (const E& e) {
    return e.what();
  } catch (...) {
    ADD_FAILURE() << "an exception of another class";
    return {};
  }
  ADD_FAILURE() << "no exception";
  return {};
}

class CertManagerTest : public test::CryptoTest {
 protected:
  void SetUp() override {
    CryptoTest::SetUp();
    data_ = "Договор № 15 " + Data(3000);
    manager_.SetAddSigningTime(true);
    manager_.SetStreamDecryptFallback(true);
  }

  TVCertMgrCSP manager_;
  Bytes data_;
};

TEST(CertManagerSlots, AbstractSlotsNameThemselves) {
  TVCertMgr base;
  EXPECT_EQ(base.GetKind(), 0);
  EXPECT_TRUE(Slots::Reserved32(base));
  base.OpenStore("CA");  // empty in the base
  base.CloseStore();
  Bytes out;
  const std::string sign = RaisedBy<EAbstractError>([&] { base.SignBuffer(BufferOf("x"), {}, true, false, out); });
  EXPECT_NE(sign.find("TVCertMgr.SignBuffer"), std::string::npos) << sign;
  EXPECT_NE(sign.find(" 5)"), std::string::npos) << sign;
  EXPECT_NE(RaisedBy<EAbstractError>([&] { base.Clone(); }).find("Clone"), std::string::npos);
  TStringList list;
  EXPECT_NE(RaisedBy<EAbstractError>([&] { base.GetRecipientNames({}, list); }).find(" 44)"), std::string::npos);
  // The implementation keeps slot 31 abstract; every other slot answers.
  TVCertMgrCSP csp;
  EXPECT_EQ(csp.GetKind(), 1);
  EXPECT_TRUE(Slots::Reserved36(csp));
  Slots::Reserved29(csp);
  Slots::Reserved37(csp);
  EXPECT_NE(RaisedBy<EAbstractError>([&] { Slots::Reserved31(csp); }).find("TVCertMgrCSP.Reserved31"),
            std::string::npos);
  EXPECT_FALSE(csp.HasPrivateKey("x"));
  EXPECT_FALSE(csp.GetSignatureCerts("x", list));
}

TEST(CertManagerFactory, KindsAndTheSharedManager) {
  for (int kind : {1, 3}) {
    auto m = NewCertManager(kind);
    ASSERT_NE(m, nullptr) << kind;
    EXPECT_EQ(m->GetKind(), 1);
  }
  for (int kind : {0, 2, 4}) EXPECT_EQ(NewCertManager(kind), nullptr) << kind;
  SharedCertManager managers;
  const auto created = managers.Create(1);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(managers.Get(), created);
  EXPECT_TRUE(created->StreamDecryptFallback());
  EXPECT_TRUE(created->AddSigningTime());
  // A Start that replaces the manager leaves it to the threads that hold it.
  const std::shared_ptr<TVCertMgr> held = managers.Get();
  managers.Create(1);
  EXPECT_NE(managers.Get(), held);
  EXPECT_EQ(held->GetKind(), 1);
  // A failed creation leaves no manager, not the old one.
  EXPECT_THROW(managers.Create(2), Exception);
  EXPECT_EQ(managers.Get(), nullptr);
  EXPECT_EQ(managers.NewTaskManager(), nullptr);
  managers.Create(3);
  auto task = managers.NewTaskManager();
  ASSERT_NE(task, nullptr);
  EXPECT_NE(task.get(), managers.Get().get());
  managers.Reset();
  EXPECT_EQ(managers.Get(), nullptr);
}

TEST_F(CertManagerTest, SerialNumbersAsPeopleTypeThem) {
  const test::Party user = Person("serial");
  const test::Party machine = Person("machine", GostKeyKind::k2012_256, false);
  AddToStore(machine.cert, false);
  const std::string serial = CertSerialHex(user.cert);
  std::string typed;  // "01ab cdef ..."
  for (size_t i = 0; i < serial.size(); ++i) {
    if (i > 0 && i % 4 == 0) typed += ' ';
    typed += static_cast<char>(std::tolower(static_cast<unsigned char>(serial[i])));
  }
  Bytes body;
  for (const std::string& text : {serial, typed}) {
    manager_.GetCertBodyBySerial(text, body);
    EXPECT_EQ(body, user.issued.der) << text;
  }
  manager_.GetCertBodyBySerial(SerialWithColons(serial), body);
  EXPECT_EQ(body, "") << "colons are the caller's to remove";
  manager_.GetCertBodyBySerial(CertSerialHex(machine.cert), body);
  EXPECT_EQ(body, machine.issued.der);
  // A serial of 20 bytes whose first has the high bit needs a leading zero
  // byte: 42 digits beginning with two zeros.
  CertRequest request = test::UserRequest("Twenty");
  request.serial = "\x80" + Bytes(18, '\x11') + "\x01";
  test::Issued wide = test::MakeUser(ca_, "Twenty", GostKeyKind::k2012_256, &request);
  AddToStore(DecodeCertificate(wide.der), true);
  const std::string wide_serial = CertSerialHex(DecodeCertificate(wide.der));
  ASSERT_EQ(wide_serial.size(), 42u);
  EXPECT_EQ(wide_serial.substr(0, 4), "0080");
  manager_.GetCertBodyBySerial(wide_serial, body);
  EXPECT_EQ(body, wide.der);
}

TEST_F(CertManagerTest, CertificateOfAnOperation) {
  // A body in no store still gives a certificate: the provider then fails
  // for want of a key link, with the code callers look for.
  const test::Party stranger = Person("stranger", GostKeyKind::k2012_256, false);
  const std::string no_key = RaisedBy<std::exception>([&] { manager_.Sign(data_, stranger.issued.der, true, false); });
  EXPECT_NE(no_key.find("-2146885621"), std::string::npos) << no_key;
  Bytes signature;
  EXPECT_NE(RaisedBy<std::exception>([&] { manager_.SignHash(Bytes(32, 'h'), stranger.issued.der, signature); })
                .find("-2146885621"),
            std::string::npos);
  // No body and no current certificate: "not found", whatever failed before.
  SetLastError(SCARD_W_CANCELLED_BY_USER);
  try {
    manager_.Sign(data_, {}, true, false);
    ADD_FAILURE() << "signed without a certificate";
  } catch (const EWin32Error& e) {
    EXPECT_EQ(e.ErrorCode(), CRYPT_E_NOT_FOUND);
    EXPECT_EQ(std::string(e.what()), Win32ErrorText(CRYPT_E_NOT_FOUND));
  }
  EXPECT_THROW(manager_.Sign(data_, "not a certificate", true, false), EWin32Error);
}

TEST_F(CertManagerTest, SignaturesWithTheCurrentOrTheGivenCertificate) {
  const test::Party a = Person("a", GostKeyKind::k2012_256);
  const test::Party b = Person("b", GostKeyKind::k2012_512);
  manager_.SetCertificate(a.issued.der);
  EXPECT_EQ(manager_.CurrentCertBody(), a.issued.der);
  const Bytes detached = manager_.Sign(data_, {}, true, false);
  EXPECT_TRUE(OpensslVerifies(detached, data_, true));
  TDecodedDetachedSignature decoded(detached);
  EXPECT_EQ(decoded.CertBytes(0), a.issued.der);
  EXPECT_NE(decoded.SigningTime(0), 0);
  // The given body wins over the current certificate, for this call only.
  const Bytes attached = manager_.Sign(data_, b.issued.der, false, false);
  EXPECT_TRUE(OpensslVerifies(attached, data_, false));
  Bytes content;
  manager_.GetSignedContent(BufferOf(attached), content);
  EXPECT_EQ(content, data_);
  EXPECT_EQ(TDecodedSignedMessage(attached).CertBytes(0), b.issued.der);
  manager_.SetAddSigningTime(false);
  EXPECT_EQ(TDecodedDetachedSignature(manager_.Sign(data_, {}, true, false)).SigningTime(0), 0);
  // Raw signatures and hashes have the provider's sizes.
  EXPECT_EQ(manager_.Hash(data_).size(), 32u);
  EXPECT_EQ(manager_.SignRaw(data_, {}).size(), 64u);
  Bytes by_hash;
  manager_.SignHash(manager_.Hash(data_), {}, by_hash);
  EXPECT_EQ(by_hash.size(), 64u);
  // That hash is not the 512-bit key's own: the provider refuses it.
  EXPECT_NE(RaisedBy<std::exception>([&] { manager_.SignHash(manager_.Hash(data_), b.issued.der, by_hash); })
                .find(std::to_string(static_cast<int32_t>(NTE_BAD_ALGID))),
            std::string::npos);
  // Files: a signature openssl accepts, and what cannot be read raises.
  WriteStringToFile(data_, dir_ / "in.bin");
  manager_.SignFile(dir_ / "in.bin", dir_ / "in.p7s", true, {});
  EXPECT_TRUE(OpensslVerifies(test::ReadFile(dir_ / "in.p7s"), data_, true));
  EXPECT_THROW(manager_.SignFile(dir_ / "missing", dir_ / "x.p7s", true, {}), EFOpenError);
}

TEST_F(CertManagerTest, EncryptionForTheRecipientsThatDecode) {
  const test::Party a = Person("a");
  const test::Party b = Person("b", GostKeyKind::k2001, false);
  Bytes enveloped;
  manager_.EncryptBuffer(BufferOf(data_), {"junk", a.issued.der, b.issued.der}, enveloped);
  EXPECT_TRUE(OpensslDecrypts(enveloped, a) == data_);
  EXPECT_TRUE(OpensslDecrypts(enveloped, b) == data_);
  TStringList serials, names;
  EXPECT_TRUE(manager_.GetRecipientSerials(BufferOf(enveloped), serials));
  EXPECT_EQ(serials.Texts(), (std::vector<std::string>{SerialHex(a.cert->Info().SerialNumber, true),
                                                       SerialHex(b.cert->Info().SerialNumber, true)}));
  EXPECT_TRUE(manager_.GetRecipientNames(enveloped, names));
  ASSERT_EQ(names.Count(), 2u);
  EXPECT_EQ(names.Strings(0).find("SN: " + serials.Strings(0) + AnsiFromUtf8(", Издатель: ")), 0u);
  EXPECT_EQ(RaisedBy<Exception>([&] { manager_.EncryptBuffer(BufferOf(data_), {"junk", ""}, enveloped); }),
            AnsiFromUtf8("Не удалось найти приемлемых сертификатов получателей для шифрования !"));
  // Streams and files decrypt with the body given.
  WriteStringToFile(enveloped, dir_ / "in.p7m");
  manager_.DecryptFile(dir_ / "in.p7m", dir_ / "out.bin", a.issued.der);
  EXPECT_TRUE(test::ReadFile(dir_ / "out.bin") == data_);
  EXPECT_THROW(manager_.DecryptFile(dir_ / "in.p7m", dir_ / "out.bin", {}), EWin32Error);
}

TEST_F(CertManagerTest, PersonalListingsNameEachCertificateOnce) {
  const test::Party linked = Person("linked");
  const test::Party both = Person("both");
  AddToStore(both.cert, false);
  const test::Party machine_only = Person("machine", GostKeyKind::k2012_256, false);
  AddToStore(machine_only.cert, false);
  // In both stores, without its link.
  const test::Issued unlinked = test::MakeUser(ca_, "Unlinked");
  AddToStore(DecodeCertificate(unlinked.der), true);
  AddToStore(DecodeCertificate(unlinked.der), false);
  TStringList list;
  list.Add("stale");
  manager_.EnumPersonal(list);
  EXPECT_EQ(list.Texts(),
            (std::vector<std::string>{linked.issued.der, both.issued.der, machine_only.issued.der}));
  manager_.EnumAll(list);
  EXPECT_EQ(list.Texts(), (std::vector<std::string>{linked.issued.der, both.issued.der, unlinked.der,
                                                    machine_only.issued.der}));
  // Without the user's store nothing can be listed.
  std::filesystem::rename(dir_ / "user/stores/MY", dir_ / "user/stores/MY.away");
  WriteStringToFile("", dir_ / "user/stores/MY");
  EXPECT_EQ(RaisedBy<Exception>([&] { manager_.EnumPersonal(list); }),
            AnsiFromUtf8("Ошибка открытия хранилища сертификатов."));
}

TEST_F(CertManagerTest, KeptListingsServeUntilTheStoreChanges) {
  const test::Party a = Person("a");
  // A listing is kept only once the folder's last change lies further back
  // than any file system's clock step.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  StoreListingCache cache;
  int reads = 0;
  const auto read = [&] {
    ++reads;
    return StoreListingCache::Bodies{"read " + std::to_string(reads)};
  };
  EXPECT_EQ(cache.Get(true, read)->front(), "read 1");
  EXPECT_EQ(cache.Get(true, read)->front(), "read 1");
  TStringList list;
  manager_.EnumPersonal(list);
  EXPECT_EQ(list.Texts(), std::vector<std::string>{a.issued.der});
  // The link goes: only the certificate's properties file is replaced, in
  // the same clock tick as the listings just kept.
  PCCERT_CONTEXT stored = CertEnumCertificatesInStore(OpenCurrentUserStore(), nullptr);
  ASSERT_TRUE(CertSetCertificateContextProperty(stored, CERT_KEY_PROV_INFO_PROP_ID, 0,
                                                static_cast<const Bytes*>(nullptr)));
  EXPECT_EQ(cache.Get(true, read)->front(), "read 2");
  manager_.EnumPersonal(list);
  EXPECT_EQ(list.Count(), 0u);
  // Read while the change is that recent, a listing is not kept.
  EXPECT_EQ(cache.Get(true, read)->front(), "read 3");
}

TEST_F(CertManagerTest, CertificateRequestHookFollowsTheRegisteredManager) {
  const test::Party wanted = Person("wanted", GostKeyKind::k2012_256, false);
  std::vector<std::pair<std::string, int>> asked;
  auto first = std::make_unique<TVCertMgrCSP>();
  first->SetOnCertificateNeeded([&](const std::string& serial, int flag, Bytes& body) {
    asked.push_back({serial, flag});
    body = serial == "01" ? wanted.issued.der : Bytes();
  });
  ASSERT_NE(CertificateLookupHook(), nullptr);
  EXPECT_EQ(CertBodyOf(CertificateLookupHook()("01")), wanted.issued.der);
  EXPECT_EQ(CertificateLookupHook()("02"), nullptr);
  EXPECT_EQ(asked, (std::vector<std::pair<std::string, int>>{{"01", 1}, {"02", 1}}));
  // Another manager that never registered leaves the hook alone when it
  // goes; the registered one takes it along.
  { TVCertMgrCSP bystander; }
  EXPECT_NE(CertificateLookupHook(), nullptr);
  first.reset();
  EXPECT_EQ(CertificateLookupHook(), nullptr);
  // An empty event clears the registration too.
  manager_.SetOnCertificateNeeded([](const std::string&, int, Bytes&) {});
  manager_.SetOnCertificateNeeded(nullptr);
  EXPECT_EQ(CertificateLookupHook(), nullptr);
}

TEST_F(CertManagerTest, CloneKeepsItsOwnCurrentCertificate) {
  const test::Party a = Person("a");
  const test::Party b = Person("b");
  manager_.SetCertificate(a.issued.der);
  std::unique_ptr<TVCertMgr> clone = manager_.Clone();
  auto* csp = dynamic_cast<TVCertMgrCSP*>(clone.get());
  ASSERT_NE(csp, nullptr);
  EXPECT_TRUE(csp->AddSigningTime());
  EXPECT_TRUE(csp->StreamDecryptFallback());
  EXPECT_EQ(CertBodyOf(csp->CurrentCert()), a.issued.der);
  clone->SetCertificate(b.issued.der);
  EXPECT_EQ(CertBodyOf(manager_.CurrentCert()), a.issued.der);
  EXPECT_EQ(TDecodedDetachedSignature(clone->Sign(data_, {}, true, false)).CertBytes(0), b.issued.der);
  EXPECT_EQ(TDecodedDetachedSignature(manager_.Sign(data_, {}, true, false)).CertBytes(0), a.issued.der);
}

}  // namespace
}  // namespace zuntar
