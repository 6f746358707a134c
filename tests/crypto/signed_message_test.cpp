// Signatures of buffers made here and by openssl, checked on the other
// side; the hash chosen for each kind of key, the signing time and the
// certificate look-up hook.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "crypto/cert_identity.h"
#include "crypto/crypt_exceptions.h"
#include "crypto/decoded_messages.h"
#include "crypto/encoded_messages.h"
#include "crypto_fixture.h"
#include "platform/capi/base/error_codes.h"

namespace zuntar {
namespace {

// What the look-up hook of a test gives, and the serials it was asked for.
PCCERT_CONTEXT hook_answer;
std::vector<std::string> hook_asked;

PCCERT_CONTEXT TestHook(const std::string& serial) {
  hook_asked.push_back(serial);
  return hook_answer;
}

class SignedMessageTest : public test::CryptoTest {
 protected:
  void SetUp() override {
    CryptoTest::SetUp();
    data_ = "Платёжное поручение № 1\n" + Data(3000);
    hook_answer = nullptr;
    hook_asked.clear();
  }
  // A context kept past the test would outlive OpenSSL at exit.
  void TearDown() override {
    hook_answer = nullptr;
    CryptoTest::TearDown();
  }

  Bytes Sign(const test::Party& p, bool detached, DateTime signing_time = 0) {
    return TEncodedSignedMessage(Len(data_), signing_time, detached, p.cert, Ptr(data_)).Content();
  }

  std::string SignerHashOid(const Bytes& signature) {
    TDecodedSignedMessage decoded(signature);
    CRYPT_ALGORITHM_IDENTIFIER alg;
    HCRYPTMSG msg = CryptMsgOpenToDecode(kMsgEncoding, 0, 0, 0, nullptr, nullptr);
    EXPECT_TRUE(CryptMsgUpdate(msg, Ptr(signature), Len(signature), true));
    EXPECT_TRUE(CryptMsgGetParam(msg, CMSG_SIGNER_HASH_ALGORITHM_PARAM, 0, &alg));
    return alg.pszObjId;
  }

  Bytes data_;
};

const GostKeyKind kKinds[] = {GostKeyKind::k2012_256, GostKeyKind::k2012_512, GostKeyKind::k2001};

TEST_F(SignedMessageTest, HashFollowsTheSignersOwnKeyUnderACaOfEveryKind) {
  const std::map<GostKeyKind, std::pair<const char*, const char*>> expected = {
      {GostKeyKind::k2012_256, {"1.2.643.7.1.1.3.2", "1.2.643.7.1.1.2.2"}},
      {GostKeyKind::k2012_512, {"1.2.643.7.1.1.3.3", "1.2.643.7.1.1.2.3"}},
      {GostKeyKind::k2001, {"1.2.643.2.2.3", "1.2.643.2.2.9"}}};
  for (GostKeyKind ca_kind : kKinds) {
    const test::Issued ca = test::MakeCa(ca_kind);
    test::WritePem(dir_ / "ca.pem", ca.der);
    for (GostKeyKind kind : kKinds) {
      SCOPED_TRACE(std::string("key ") + test::KindName(kind) + " under CA " + test::KindName(ca_kind));
      const test::Party p = Person(std::string("s") + test::KindName(kind) + test::KindName(ca_kind), kind, false, &ca);
      EXPECT_EQ(SigningHashOid(p.cert), expected.at(kind).first);
      const Bytes signature = Sign(p, false);
      EXPECT_EQ(SignerHashOid(signature), expected.at(kind).second);
      EXPECT_TRUE(TDecodedSignedMessage(signature).VerifySigner(0));
      EXPECT_TRUE(OpensslVerifies(signature, data_, false));
    }
  }
}

TEST_F(SignedMessageTest, OpensslVerifiesEverySignatureMadeHereAndTheOtherWayRound) {
  for (GostKeyKind kind : kKinds) {
    const test::Party p = Person(std::string("signer") + test::KindName(kind), kind);
    for (bool detached : {false, true}) {
      SCOPED_TRACE(std::string(test::KindName(kind)) + (detached ? " detached" : " attached"));
      const Bytes ours = Sign(p, detached, Now());
      EXPECT_TRUE(OpensslVerifies(ours, data_, detached));
      for (const char* extra : {"", " -noattr"}) {
        const Bytes theirs = OpensslSigns(p, data_, detached, extra);
        Bytes tampered = data_;
        tampered[7] ^= 0x20;
        if (detached) {
          TDecodedDetachedSignature decoded(theirs);
          EXPECT_EQ(decoded.SignerCount(), 1u);
          EXPECT_TRUE(decoded.VerifyDetachedSigner(0, Len(data_), Ptr(data_)));
          EXPECT_FALSE(decoded.VerifyDetachedSigner(0, Len(tampered), Ptr(tampered)));
        } else {
          TDecodedSignedMessage decoded(theirs);
          EXPECT_TRUE(decoded.VerifySigner(0));
          EXPECT_TRUE(decoded.Content() == data_);
          EXPECT_EQ(decoded.CertCount(), 1u);
          EXPECT_EQ(decoded.CertBytes(0), p.issued.der);
          Bytes broken = theirs;
          broken[broken.size() - 3] ^= 0x01;  // inside the signature value
          EXPECT_FALSE(TDecodedSignedMessage(broken).VerifySigner(0));
        }
      }
    }
  }
}

TEST_F(SignedMessageTest, SigningTimeIsKeptToEvenSecondsInUtc) {
  const char* tz = std::getenv("TZ");
  const std::string saved = tz != nullptr ? tz : "";
  setenv("TZ", "MSK-3", 1);
  tzset();
  const test::Party p = Person("timed");
  // 2026-03-02 12:00:01.750 local is 09:00:00 UTC at even seconds.
  const Bytes signature = Sign(p, true, EncodeDateTime({2026, 3, 2, 12, 0, 1, 750}));
  if (tz != nullptr) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();
  TDecodedDetachedSignature decoded(signature);
  EXPECT_EQ(decoded.SigningTime(0), 1772442000);
  EXPECT_TRUE(decoded.VerifyDetachedSigner(0, Len(data_), Ptr(data_)));
  // Without a time, and from openssl without attributes: 0.
  EXPECT_EQ(TDecodedDetachedSignature(Sign(p, true)).SigningTime(0), 0);
  EXPECT_EQ(TDecodedDetachedSignature(OpensslSigns(p, data_, true, " -noattr")).SigningTime(0), 0);
  // openssl's own attributes carry a time.
  const int64_t theirs = TDecodedDetachedSignature(OpensslSigns(p, data_, true)).SigningTime(0);
  EXPECT_NEAR(static_cast<double>(theirs), static_cast<double>(std::time(nullptr)), 120);
  EXPECT_THROW(decoded.SigningTime(1), ECryptError);
}

TEST_F(SignedMessageTest, OutputBufferGrowsForACertificateLargerThanTheDetachedReserve) {
  CertRequest big = test::UserRequest("big");
  for (int i = 0; i < 1025; ++i) big.extended_key_usage.push_back("1.2.643.3.7." + std::to_string(i));
  const test::Party p = test::MakeParty(dir_, ca_, "big", GostKeyKind::k2012_256, AT_KEYEXCHANGE, &big);
  ASSERT_GT(p.issued.der.size(), 8192u);
  const Bytes detached = Sign(p, true);
  EXPECT_GT(detached.size(), SignatureBufferSize(Len(data_), true));
  EXPECT_TRUE(TDecodedDetachedSignature(detached).VerifyDetachedSigner(0, Len(data_), Ptr(data_)));
  EXPECT_TRUE(OpensslVerifies(detached, data_, true));
  const Bytes attached = Sign(p, false);
  EXPECT_TRUE(TDecodedSignedMessage(attached).VerifySigner(0));
}

TEST_F(SignedMessageTest, SignerMissingFromTheMessageComesFromTheHook) {
  const test::Party p = Person("absent");
  const Bytes detached = OpensslSigns(p, data_, true, " -nocerts");
  const Bytes attached = OpensslSigns(p, data_, false, " -nocerts");
  // Without a hook: no certificate, and the checks cannot be made.
  TDecodedSignedMessage message(attached);
  EXPECT_EQ(message.CertCount(), 0u);
  EXPECT_EQ(message.Certificate(0), nullptr);
  try {
    message.VerifySigner(0);
    ADD_FAILURE() << "no error";
  } catch (const ECryptError& e) {
    EXPECT_EQ(e.ErrorCode(), CRYPT_E_NOT_FOUND);
  }
  EXPECT_THROW(TDecodedDetachedSignature(detached).VerifyDetachedSigner(0, Len(data_), Ptr(data_)), ECryptError);
  // A hook that has nothing changes nothing.
  SetCertificateLookupHook(TestHook);
  EXPECT_THROW(message.VerifySigner(0), ECryptError);
  ASSERT_FALSE(hook_asked.empty());
  EXPECT_EQ(hook_asked.back(), CertSerialHex(p.cert));
  // With the hook's certificate both verify, and the certificate past the
  // message's own is the hook's.
  hook_answer = p.cert;
  EXPECT_TRUE(message.VerifySigner(0));
  EXPECT_TRUE(TDecodedDetachedSignature(detached).VerifyDetachedSigner(0, Len(data_), Ptr(data_)));
  PCCERT_CONTEXT from_hook = message.Certificate(0);
  ASSERT_NE(from_hook, nullptr);
  EXPECT_EQ(from_hook->Encoded(), p.issued.der);
  Bytes tampered = data_;
  tampered[0] ^= 1;
  EXPECT_FALSE(TDecodedDetachedSignature(detached).VerifyDetachedSigner(0, Len(tampered), Ptr(tampered)));
  // A message that carries its certificate never asks.
  hook_asked.clear();
  EXPECT_TRUE(TDecodedSignedMessage(Sign(p, false)).VerifySigner(0));
  EXPECT_TRUE(hook_asked.empty());
}

TEST_F(SignedMessageTest, AttachedSignatureInPlaceOrAroundIsTheMessageOfTheBuffer) {
  const test::Party p = Person("inplace");
  const DateTime time = EncodeDateTime({2026, 3, 2, 12, 0, 2, 0});
  for (const Bytes& content : {data_, Bytes()}) {
    Bytes in_place = content;
    SignAttachedInPlace(in_place, time, p.cert);
    // Around the data: the same message in three pieces, the head told
    // first, the data untouched.
    Bytes told, head, tail;
    SignAttachedAround(content, time, p.cert, head, tail, [&](const Bytes& h) { told = h; });
    EXPECT_EQ(told, head);
    EXPECT_TRUE(in_place.starts_with(head) && in_place.compare(head.size(), content.size(), content) == 0);
    EXPECT_EQ(head.size() + content.size() + tail.size(), in_place.size());
    EXPECT_TRUE(OpensslVerifies(head + content + tail, content, false)) << content.size();
    const Bytes whole = TEncodedSignedMessage(Len(content), time, false, p.cert, Ptr(data_)).Content();
    // The same bytes but for the signature value, which ends both and is
    // random in every GOST signature.
    ASSERT_EQ(in_place.size(), whole.size());
    EXPECT_TRUE(in_place.compare(0, in_place.size() - 64, whole, 0, whole.size() - 64) == 0);
    EXPECT_TRUE(OpensslVerifies(in_place, content, false)) << content.size();
  }
  // A failure leaves the data as it was.
  Bytes kept = data_;
  const PCCERT_CONTEXT unlinked = DecodeCertificate(Person("nokey2", GostKeyKind::k2012_256, false).issued.der);
  EXPECT_THROW(SignAttachedInPlace(kept, time, unlinked), ECryptError);
  EXPECT_TRUE(kept == data_);
}

TEST_F(SignedMessageTest, SigningFailuresRaiseWithThePlatformCode) {
  const test::Party stranger = Person("nokey", GostKeyKind::k2012_256, false);
  PCCERT_CONTEXT unlinked = DecodeCertificate(stranger.issued.der);
  try {
    TEncodedSignedMessage(Len(data_), 0, true, unlinked, Ptr(data_));
    ADD_FAILURE() << "no error";
  } catch (const ECryptError& e) {
    EXPECT_EQ(e.ErrorCode(), CRYPT_E_NO_KEY_PROPERTY);
    EXPECT_NE(std::string(e.what()).find("-2146885621"), std::string::npos);
  }
  EXPECT_THROW(TDecodedSignedMessage(Bytes("not a message")), ECryptError);
  // A signature is not an enveloped message.
  const test::Party p = Person("p");
  TDecodedEnvelopedMessage wrong(Sign(p, false));
  EXPECT_THROW(wrong.RecipientCount(), ECryptError);
}

}  // namespace
}  // namespace zuntar
