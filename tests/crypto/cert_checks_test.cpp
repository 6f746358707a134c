// The certificate manager's checks: signatures in memory, in streams and in
// files with the times they are checked at and the certificates they list,
// and the codes of a certificate's chain.
#include "crypto/cert_checks.h"

#include <gtest/gtest.h>

#include "certs/cert_text.h"
#include "certs/os_error.h"
#include "core/utf.h"
#include "crypto/cert_identity.h"
#include "crypto/cert_manager_csp.h"
#include "crypto/encoded_messages.h"
#include "crypto/streams.h"
#include "crypto_fixture.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/cert/cert_chain.h"
#include "platform/capi/msg/crypt_msg_simple.h"
#include "platform/capi/msg/signing_time.h"

namespace zuntar {
namespace {

constexpr int64_t kHour = 3600;
constexpr int64_t kDay = 86400;

// A signer of a test message and its signing time (Unix seconds, 0: none).
struct Signing {
  const test::Party* party;
  int64_t time = 0;
};

class CertChecksTest : public test::CryptoTest {
 protected:
  void SetUp() override {
    CryptoTest::SetUp();
    data_ = "Акт сверки " + Data(5000);
  }

  // A person whose certificate is valid from `from` to `to` (seconds from
  // now).
  test::Party PersonValid(const std::string& name, int64_t from, int64_t to) {
    CertRequest r = test::UserRequest(name);
    r.not_before = test::NowSeconds() + from;
    r.not_after = test::NowSeconds() + to;
    test::Party p = test::MakeParty(dir_, ca_, name, GostKeyKind::k2012_256, AT_KEYEXCHANGE, &r);
    AddToStore(p.cert, true);
    return p;
  }

  // A signed message of the data by the signers, carrying exactly the
  // certificates given, in that order.
  Bytes Signed(const std::vector<Signing>& signers, const std::vector<Bytes>& certs, bool detached) {
    CMSG_SIGNED_ENCODE_INFO info;
    for (const Signing& s : signers) {
      CMSG_SIGNER_ENCODE_INFO signer;
      EXPECT_TRUE(SignerForCertificate(s.party->cert, SigningHashOid(s.party->cert), &signer));
      if (s.time != 0) {
        BYTE encoded[32];
        DWORD size = sizeof encoded;
        EXPECT_TRUE(CryptEncodeObject(kMsgEncoding, szOID_RSA_signingTime, FileTimeFromUnix(s.time), encoded, &size));
        signer.rgAuthAttr.push_back({szOID_RSA_signingTime, {Bytes(reinterpret_cast<char*>(encoded), size)}});
      }
      info.rgSigners.push_back(signer);
    }
    info.rgCertEncoded = certs;
    HCRYPTMSG msg =
        CryptMsgOpenToEncode(kMsgEncoding, detached ? CMSG_DETACHED_FLAG : 0, CMSG_SIGNED, info, nullptr, nullptr);
    EXPECT_NE(msg, nullptr);
    EXPECT_TRUE(CryptMsgUpdate(msg, Ptr(data_), Len(data_), true));
    Bytes out;
    EXPECT_TRUE(CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, &out));
    return out;
  }

  // Each form of check of one message: attached in memory and streamed, or
  // detached in memory, streamed and in files. Each list must equal
  // `listed` (bodies and signing times) and each text `text`; the detached
  // streams add the code of a bad signature to theirs.
  void ExpectEveryForm(const Bytes& message, bool detached, uint32_t code, const std::string& text,
                       const std::vector<std::pair<Bytes, int64_t>>& listed, DateTime check_time = 0,
                       bool bad_signature = true) {
    std::vector<std::pair<std::string, uint32_t>> results;
    std::vector<TStringList> lists(3);
    std::vector<std::string> texts(3, "stale");
    if (detached) {
      results.push_back({"memory", manager_.VerifyDetached(BufferOf(data_), BufferOf(message), &lists[0], check_time,
                                                           texts[0])});
      TMemoryStream data(data_), signature(message);
      results.push_back({"streams", manager_.VerifyDetachedStreams(data, signature, &lists[1], check_time, texts[1])});
      test::WriteFile(dir_ / "data.bin", data_);
      test::WriteFile(dir_ / "data.p7s", message);
      results.push_back({"files", manager_.VerifyDetachedFiles(dir_ / "data.bin", dir_ / "data.p7s", &lists[2],
                                                               check_time, texts[2])});
    } else {
      results.push_back({"memory", manager_.VerifySigned(BufferOf(message), texts[0], &lists[0], check_time)});
      TMemoryStream stream(message), content;
      results.push_back({"stream", manager_.VerifySignedStreamContent(stream, &content, &lists[1], check_time,
                                                                      texts[1])});
      EXPECT_TRUE(content.Data() == data_);
      TMemoryStream again(message);
      results.push_back({"stream only", manager_.VerifySignedStream(again, texts[2], &lists[2], check_time)});
    }
    for (size_t i = 0; i < results.size(); ++i) {
      const std::string& form = results[i].first;
      EXPECT_EQ(results[i].second, code) << form << std::hex << " 0x" << results[i].second;
      // Streams name the code of a failed detached check.
      if (detached && i > 0 && code == kCheckIntegrityViolated && bad_signature)
        EXPECT_EQ(texts[i], text + AnsiFromUtf8(". Код ошибки: ") + std::to_string(NTE_BAD_SIGNATURE)) << form;
      else
        EXPECT_EQ(texts[i], text) << form;
      ASSERT_EQ(lists[i].Count(), listed.size()) << form;
      for (size_t j = 0; j < listed.size(); ++j) {
        EXPECT_TRUE(lists[i].Strings(j) == listed[j].first) << form << " entry " << j;
        EXPECT_EQ(lists[i].Objects(j), listed[j].second) << form << " entry " << j;
      }
    }
  }

  static std::string Text(const char* utf8) { return AnsiFromUtf8(utf8); }

  TVCertMgrCSP manager_;
  Bytes data_;
};

TEST_F(CertChecksTest, ValidityTextsOfExpiredAndNotYetValidCertificates) {
  const std::string expired_text = Text("Время действия сертификата уже завершилось !");
  const std::string not_yet_text = Text("Время действия сертификата еще не наступило !");
  const test::Party expired = PersonValid("expired", -2 * kDay, -kDay);
  const test::Party not_yet = PersonValid("notyet", kDay, 2 * kDay);
  const test::Party inverted = PersonValid("inverted", kDay, -kDay);
  ExpectEveryForm(Signed({{&expired}}, {expired.issued.der}, false), false, kCheckNotTimeValid, expired_text,
                  {{expired.issued.der, 0}});
  ExpectEveryForm(Signed({{&not_yet}}, {not_yet.issued.der}, true), true, kCheckNotTimeValid, not_yet_text,
                  {{not_yet.issued.der, 0}});
  ExpectEveryForm(Signed({{&inverted}}, {inverted.issued.der}, false), false, kCheckNotTimeValid,
                  not_yet_text + "\r\n" + expired_text, {{inverted.issued.der, 0}});
  // A time given is the one checked; a bound itself is inside the period.
  const Bytes message = Signed({{&expired}}, {expired.issued.der}, false);
  const DateTime not_after = FileTimeToDateTime(expired.cert->Info().NotAfter);
  ExpectEveryForm(message, false, 0, "", {{expired.issued.der, 0}}, not_after);
  ExpectEveryForm(message, false, 0, "", {{expired.issued.der, 0}},
                  FileTimeToDateTime(expired.cert->Info().NotBefore));
  ExpectEveryForm(message, false, kCheckNotTimeValid, expired_text, {{expired.issued.der, 0}}, not_after + 2.0 / 86400);
}

TEST_F(CertChecksTest, DetachedSignaturesAreCheckedAtTheirSigningTime) {
  // Valid for the two hours before the last one, signed in between.
  const test::Party signer = PersonValid("signer", -3 * kHour, -kHour);
  const int64_t signed_at = test::NowSeconds() - 2 * kHour;
  const Bytes detached = Signed({{&signer, signed_at}}, {signer.issued.der}, true);
  ExpectEveryForm(detached, true, 0, "", {{signer.issued.der, signed_at}});
  // Now, the certificate has expired.
  ExpectEveryForm(detached, true, kCheckNotTimeValid, Text("Время действия сертификата уже завершилось !"),
                  {{signer.issued.der, signed_at}}, UtcNow());
  // Without a signing time, or attached, a check time of 0 means now; the
  // list still carries the signing time.
  ExpectEveryForm(Signed({{&signer}}, {signer.issued.der}, true), true, kCheckNotTimeValid,
                  Text("Время действия сертификата уже завершилось !"), {{signer.issued.der, 0}});
  ExpectEveryForm(Signed({{&signer, signed_at}}, {signer.issued.der}, false), false, kCheckNotTimeValid,
                  Text("Время действия сертификата уже завершилось !"), {{signer.issued.der, signed_at}});
}

TEST_F(CertChecksTest, MessageWithoutSignersIsNotAValidSignature) {
  const test::Party holder = Person("holder");
  for (bool detached : {false, true}) {
    const Bytes message = Signed({}, {ca_.der, holder.issued.der}, detached);
    // No signature failed, so there is no code to name.
    ExpectEveryForm(message, detached, kCheckIntegrityViolated, Text("Нарушена целостность ЭП !"),
                    {{ca_.der, 0}, {holder.issued.der, 0}}, 0, false);
  }
  TStringList list;
  EXPECT_FALSE(manager_.GetSignatureCerts(Signed({}, {ca_.der, holder.issued.der}, true), list));
}

TEST_F(CertChecksTest, SignersAreCheckedWithTheirOwnCertificates) {
  // An expired CA certificate travels with the signer's: checking it in
  // the signer's place would fail the signature or its validity.
  CertRequest old = test::UserRequest("Старый УЦ");
  old.is_ca = true;
  old.not_before = test::NowSeconds() - 10 * kDay;
  old.not_after = test::NowSeconds() - kDay;
  const ossl::PKeyPtr old_key = GenerateGostKey(GostKeyKind::k2012_256);
  const Bytes old_ca = BuildCertificate(old, old_key.get(), {}, old_key.get());
  const test::Party a = Person("a");
  const test::Party b = Person("b");
  const int64_t t = test::NowSeconds() - 60;
  for (const std::vector<Bytes>& certs : {std::vector<Bytes>{old_ca, a.issued.der}, {a.issued.der, old_ca}}) {
    for (bool detached : {false, true})
      ExpectEveryForm(Signed({{&a, t}}, certs, detached), detached, 0, "", {{a.issued.der, t}});
    TStringList list;
    ASSERT_TRUE(manager_.GetSignatureCerts(Signed({{&a, t}}, certs, true), list));
    EXPECT_EQ(list.Texts(), std::vector<std::string>{a.issued.der});
    EXPECT_EQ(list.Objects(0), t);
  }
  // Two signers, each listed with its own certificate and signing time.
  const Bytes both = Signed({{&a, t}, {&b, t - 30}}, {old_ca, b.issued.der, a.issued.der}, true);
  ExpectEveryForm(both, true, 0, "", {{a.issued.der, t}, {b.issued.der, t - 30}});
}

TEST_F(CertChecksTest, BrokenSignaturesReportTheirIntegrityAndListEveryCertificate) {
  const test::Party signer = Person("signer");
  const int64_t t = test::NowSeconds() - 60;
  const Bytes detached = Signed({{&signer, t}}, {ca_.der, signer.issued.der}, true);
  data_[7] ^= 1;
  // The CA's certificate is nobody's: it takes the first signer's time.
  ExpectEveryForm(detached, true, kCheckIntegrityViolated, Text("Нарушена целостность ЭП !"),
                  {{ca_.der, t}, {signer.issued.der, t}});
  data_[7] ^= 1;
  Bytes attached = Signed({{&signer, t}}, {signer.issued.der}, false);
  attached.back() ^= 1;  // the end of the signature value
  ExpectEveryForm(attached, false, kCheckIntegrityViolated, Text("Нарушена целостность ЭП !"),
                  {{signer.issued.der, t}});
  // What is not a message at all raises.
  std::string text;
  EXPECT_THROW(manager_.VerifySigned(BufferOf("not a message"), text, nullptr, 0), std::exception);
  TStringList list;
  list.Add("stale");
  EXPECT_FALSE(manager_.GetSignatureCerts("not a message", list));
  EXPECT_EQ(list.Count(), 0u);
}

// ---- Chains -----------------------------------------------------------------------

class CertChainCheckTest : public CertChecksTest {
 protected:
  static void AddCert(const char* store, const Bytes& der) {
    ASSERT_TRUE(CertAddEncodedCertificateToStore(CertOpenSystemStoreA(0, store), X509_ASN_ENCODING, der,
                                                 CERT_STORE_ADD_NEW, nullptr));
  }
  Bytes Crl(const std::vector<Bytes>& revoked_certs, int64_t this_update = test::NowSeconds() - 60) {
    std::vector<Bytes> serials;
    for (const Bytes& der : revoked_certs) {
      const Bytes le = DecodeCertificate(der)->Info().SerialNumber;
      serials.emplace_back(le.rbegin(), le.rend());
    }
    return BuildCrl(ca_.der, ca_.key.get(), this_update, this_update + kDay, serials);
  }
  uint32_t Chain(const Bytes& der, DateTime at = 0) { return manager_.VerifyCertChain(der, at); }
};

TEST_F(CertChainCheckTest, CodesOfValidRevokedAndUntrustedChains) {
  const test::Issued user = test::MakeUser(ca_, "Пользователь");
  CertRequest r = test::UserRequest("Только шифрование");
  r.key_usage = CERT_KEY_ENCIPHERMENT_KEY_USAGE;
  const test::Issued encipher_only = test::MakeUser(ca_, "", GostKeyKind::k2012_256, &r);
  // The root outside the "ROOT" stores is not accepted.
  AddCert("CA", ca_.der);
  EXPECT_EQ(Chain(user.der), kCheckUntrustedRoot);
  AddCert("ROOT", ca_.der);
  // No revocation list anywhere: unknown, and that alone passes.
  EXPECT_EQ(Chain(user.der), 0u);
  manager_.ImportCrl(Crl({}));
  EXPECT_EQ(Chain(user.der), 0u);
  EXPECT_EQ(Chain(encipher_only.der), kCheckNotValidForUsage);
  manager_.ImportCrl(Crl({user.der}, test::NowSeconds() - 30));
  EXPECT_EQ(Chain(user.der), kCheckRevoked);
  EXPECT_EQ(Chain(encipher_only.der), kCheckNotValidForUsage);
  // An issuer nobody has: a partial chain; bytes that are no certificate
  // raise the platform's error.
  const test::Issued stranger_ca = test::MakeCa();
  EXPECT_EQ(Chain(test::MakeUser(stranger_ca, "Чужой").der), kCheckPartialChain);
  EXPECT_THROW(Chain("not a certificate"), EWin32Error);
}

TEST_F(CertChainCheckTest, CodesAtACheckTimeAndOfUnusualCertificates) {
  AddCert("ROOT", ca_.der);
  manager_.ImportCrl(Crl({}));
  CertRequest r = test::UserRequest("Просрочен");
  r.not_before = test::NowSeconds() - 5 * kHour;
  r.not_after = test::NowSeconds() - kHour;
  const test::Issued expired = test::MakeUser(ca_, "", GostKeyKind::k2012_256, &r);
  EXPECT_EQ(Chain(expired.der), kCheckNotTimeValid);
  EXPECT_EQ(Chain(expired.der, DateTimeFromUnixSeconds(test::NowSeconds() - 3 * kHour)), 0u);
  // Outliving its issuer is as bad as being out of time.
  r = test::UserRequest("Долгожитель");
  r.not_after = test::NowSeconds() + 4000 * kDay;
  EXPECT_EQ(Chain(test::MakeUser(ca_, "", GostKeyKind::k2012_256, &r).der), kCheckNotTimeValid);
  // A critical extension nobody understands is an error of its own.
  r = test::UserRequest("Расширение");
  r.extra_extensions.push_back({"1.2.643.999.1", true, Bytes("\x05\x00", 2)});
  EXPECT_EQ(Chain(test::MakeUser(ca_, "", GostKeyKind::k2012_256, &r).der), kCheckFailed);
}

TEST(ChainErrorCodeTest, FirstBitInTheOrderDecides) {
  EXPECT_EQ(ChainErrorCode(CERT_TRUST_IS_REVOKED | CERT_TRUST_IS_PARTIAL_CHAIN), kCheckPartialChain);
  EXPECT_EQ(ChainErrorCode(CERT_TRUST_IS_REVOKED | CERT_TRUST_IS_UNTRUSTED_ROOT), kCheckUntrustedRoot);
  EXPECT_EQ(ChainErrorCode(CERT_TRUST_INVALID_EXTENSION | CERT_TRUST_CTL_IS_NOT_TIME_VALID), kCheckCyclicOrExtension);
  EXPECT_EQ(ChainErrorCode(CERT_TRUST_CTL_IS_NOT_SIGNATURE_VALID), kCheckCtlInvalid);
  EXPECT_EQ(ChainErrorCode(CERT_TRUST_INVALID_BASIC_CONSTRAINTS), kCheckFailed);
}

}  // namespace
}  // namespace zuntar
