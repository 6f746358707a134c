// Enveloped messages made here and by openssl, their recipients and their
// decryption for a certificate.
#include <gtest/gtest.h>

#include "core/utf.h"
#include "crypto/cert_identity.h"
#include "crypto/crypt_exceptions.h"
#include "crypto/decoded_messages.h"
#include "crypto/encoded_messages.h"
#include "crypto/stream_messages.h"
#include "crypto/streams.h"
#include "crypto_fixture.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/cert/cert_name.h"
#include "platform/capi/msg/agree_envelope.h"

namespace zuntar {
namespace {

class EnvelopedMessageTest : public test::CryptoTest {
 protected:
  void SetUp() override {
    CryptoTest::SetUp();
    data_ = "Секретное сообщение " + Data(5000);
  }

  Bytes Encrypt(const std::vector<PCCERT_CONTEXT>& recipients) {
    return TEncodedEnvelopedMessage(Len(data_), recipients, Ptr(data_)).Content();
  }

  Bytes data_;
};

TEST_F(EnvelopedMessageTest, OpensslDecryptsForEveryRecipientAndItsMessagesDecryptHere) {
  const test::Party a = Person("a", GostKeyKind::k2012_256);
  const test::Party b = Person("b", GostKeyKind::k2012_512);
  const test::Party c = Person("c", GostKeyKind::k2001);
  const Bytes ours = Encrypt({a.cert, b.cert, c.cert});
  for (const test::Party* p : {&a, &b, &c}) {
    SCOPED_TRACE(p->container);
    EXPECT_TRUE(OpensslDecrypts(ours, *p) == data_);
    TDecodedEnvelopedMessage here(ours);
    here.DecryptFor(p->cert);
    EXPECT_TRUE(here.Content() == data_);
  }
  for (const char* extra : {"", " -stream"}) {
    const Bytes theirs = OpensslEncrypts({&a, &b, &c}, data_, extra);
    for (const test::Party* p : {&a, &b, &c}) {
      TDecodedEnvelopedMessage here(theirs);
      EXPECT_EQ(here.RecipientCount(), 3u);
      here.DecryptFor(p->cert);
      EXPECT_TRUE(here.Content() == data_) << extra;
    }
  }
  // Empty data travels too.
  const Bytes empty = TEncodedEnvelopedMessage(0, {a.cert}, Ptr(data_)).Content();
  TDecodedEnvelopedMessage decoded(empty);
  decoded.DecryptFor(a.cert);
  EXPECT_EQ(decoded.Content(), Bytes());
}

// Key agreement (the form Java systems on Bouncy Castle write): its
// recipients are named, found and decrypted for like key-transport ones,
// in memory and streamed.
TEST_F(EnvelopedMessageTest, KeyAgreementRecipientsAreNamedFoundAndDecryptedFor) {
  const test::Party a = Person("a", GostKeyKind::k2012_256);
  const test::Party b = Person("b", GostKeyKind::k2012_512);
  const test::Party c = Person("c", GostKeyKind::k2001);
  Bytes message;
  size_t at = 0;
  ASSERT_TRUE(EncodeKeyAgreeEnvelope(
      {a.cert, b.cert, c.cert}, data_.size(),
      [&](BYTE* out, size_t size) {
        const size_t n = std::min(size, data_.size() - at);
        std::copy_n(data_.data() + at, n, out);
        at += n;
        return n;
      },
      [&](const BYTE* piece, DWORD size, bool) {
        message.append(reinterpret_cast<const char*>(piece), size);
        return true;
      }));
  const HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  for (const test::Party* p : {&a, &b, &c}) {
    TDecodedEnvelopedMessage here(message);
    ASSERT_EQ(here.RecipientCount(), 3u);
    DWORD found = 0;
    for (DWORD i = 0; i < 3; ++i)
      if (here.RecipientSerial(i) == SerialHex(p->cert->Info().SerialNumber, true)) found = i + 1;
    ASSERT_NE(found, 0u) << p->container;
    const PCCERT_CONTEXT cert = here.FindRecipientCert(found - 1, my);
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(cert->Encoded(), p->cert->Encoded());
    here.DecryptFor(p->cert);
    EXPECT_TRUE(here.Content() == data_);
    TMemoryStream input(message), output;
    TDecodedStreamEnvelopedMessage(input, p->cert, output);
    EXPECT_TRUE(output.Data() == data_);
  }
}

TEST_F(EnvelopedMessageTest, RecipientsAreNamedByGroupedSerialAndIssuer) {
  const test::Party a = Person("a");
  const test::Party b = Person("b");
  TDecodedEnvelopedMessage message(Encrypt({a.cert, b.cert}));
  ASSERT_EQ(message.RecipientCount(), 2u);
  const std::string serial = SerialHex(b.cert->Info().SerialNumber, true);
  EXPECT_EQ(message.RecipientSerial(1), serial);
  EXPECT_EQ(message.RecipientSerial(0), SerialHex(a.cert->Info().SerialNumber, true));
  const std::string issuer = AnsiFromUtf8(NameToUtf8(b.cert->Info().Issuer, CERT_X500_NAME_STR));
  EXPECT_EQ(message.RecipientDescription(1), "SN: " + serial + AnsiFromUtf8(", Издатель: ") + issuer);
  EXPECT_NE(issuer.find(AnsiFromUtf8("Тестовый УЦ")), std::string::npos);
  EXPECT_THROW(message.RecipientSerial(2), ECryptError);

  // A recipient named by its key identifier carries no issuer: the bare
  // (here empty) serial.
  TDecodedEnvelopedMessage by_key_id(OpensslEncrypts({&a}, data_, " -keyid"));
  EXPECT_EQ(by_key_id.RecipientSerial(0), "");
  EXPECT_EQ(by_key_id.RecipientDescription(0), "");
}

TEST_F(EnvelopedMessageTest, DecryptForTriesOnlyTheRecipientsWithTheCertificatesSerial) {
  const test::Party first = Person("first");
  const test::Party second = Person("second");
  const Bytes message = Encrypt({first.cert, second.cert});
  TDecodedEnvelopedMessage decoded(message);
  decoded.DecryptFor(second.cert);  // index 1
  EXPECT_TRUE(decoded.Content() == data_);

  // The same serial under another issuer is tried and fails with its code.
  const test::Issued other_ca = test::MakeCa();
  CertRequest twin = test::UserRequest("twin");
  const Bytes& blob = second.cert->Info().SerialNumber;  // least significant byte first
  twin.serial = Bytes(blob.rbegin(), blob.rend());
  const test::Party impostor = test::MakeParty(dir_, other_ca, "twin", GostKeyKind::k2012_256, AT_KEYEXCHANGE, &twin);
  ASSERT_EQ(CertSerialHex(impostor.cert), CertSerialHex(second.cert));
  try {
    TDecodedEnvelopedMessage(message).DecryptFor(impostor.cert);
    ADD_FAILURE() << "no error";
  } catch (const ECryptError&) {
    ADD_FAILURE() << "the general class is expected";
  } catch (const Exception& e) {
    const std::string prefix = AnsiFromUtf8("Ошибка при расшифровке криптографического сообщения:");
    const std::string text = e.what();
    EXPECT_EQ(text.rfind(prefix, 0), 0u) << text;
    EXPECT_NE(text.substr(prefix.size(), 1), "0");
    EXPECT_STREQ(e.ClassName(), "Exception");
  }
  // Nobody with that serial: code 0.
  const test::Party third = Person("third");
  try {
    TDecodedEnvelopedMessage(message).DecryptFor(third.cert);
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()),
              AnsiFromUtf8("Ошибка при расшифровке криптографического сообщения:") + "0 " + SysErrorMessage(0));
  }
  // One recipient: decrypted for index 0 whatever the serial, failing with
  // the platform's code.
  EXPECT_THROW(TDecodedEnvelopedMessage(Encrypt({first.cert})).DecryptFor(third.cert), ECryptError);
}

TEST_F(EnvelopedMessageTest, KeySpecZeroIsRetriedAsTheExchangeKey) {
  const test::Party p = Person("zero");
  HCRYPTPROV prov;
  DWORD key_spec = 0;
  bool caller_free = false;
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(p.cert, 0, nullptr, &prov, &key_spec, &caller_free));
  p.cert->SetCachedKey(prov, 0);  // a provider that names no key spec
  const test::Party other = Person("other");
  for (const std::vector<PCCERT_CONTEXT>& recipients :
       {std::vector<PCCERT_CONTEXT>{p.cert}, std::vector<PCCERT_CONTEXT>{other.cert, p.cert}}) {
    TDecodedEnvelopedMessage message(Encrypt(recipients));
    message.DecryptFor(p.cert);
    EXPECT_TRUE(message.Content() == data_);
  }
}

TEST_F(EnvelopedMessageTest, RecipientCertificateNeedsAUsableKey) {
  const test::Party a = Person("a");
  const test::Party b = Person("b", GostKeyKind::k2012_256, false);
  AddToStore(DecodeCertificate(b.issued.der), true);  // in the store without its key link
  TDecodedEnvelopedMessage message(Encrypt({a.cert, b.cert}));
  HCERTSTORE my = OpenCurrentUserStore();
  PCCERT_CONTEXT found = message.FindRecipientCert(0, my);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->Encoded(), a.issued.der);
  EXPECT_EQ(message.FindRecipientCert(1, my), nullptr);
  message.DecryptRecipient(0, found);
  EXPECT_TRUE(message.Content() == data_);
  // A certificate without a key raises the platform's code.
  try {
    TDecodedEnvelopedMessage(Encrypt({a.cert, b.cert})).DecryptRecipient(1, DecodeCertificate(b.issued.der));
    ADD_FAILURE() << "no error";
  } catch (const ECryptError& e) {
    EXPECT_EQ(e.ErrorCode(), CRYPT_E_NO_KEY_PROPERTY);
  }
  // Content before decryption is an error, not an empty plaintext.
  EXPECT_THROW(TDecodedEnvelopedMessage(Encrypt({a.cert})).Content(), ECryptError);
}

}  // namespace
}  // namespace zuntar
