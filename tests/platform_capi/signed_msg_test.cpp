// Signed messages made here and by `openssl cms`, checked on the other side.
#include <gtest/gtest.h>

#include "platform/capi/base/error_codes.h"
#include "platform/capi/msg/content_info.h"
#include "platform/capi/msg/crypt_msg.h"
#include "platform/capi/msg/crypt_msg_simple.h"
#include "platform/capi/msg/signing_time.h"
#include "support/msg_fixture.h"
#include "support/scripted_prompt.h"

namespace zuntar {
namespace {

class SignedMsgTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ca_ = new test::Issued(test::MakeCa()); }
  static void TearDownTestSuite() {
    delete ca_;
    ca_ = nullptr;
  }
  void SetUp() override {
    test::WritePem(dir_ / "ca.pem", ca_->der);
    data_ = "Платёжное поручение № 1\n";
    for (int i = 0; i < 2000; ++i) data_ += static_cast<char>(i * 7);
    test::WriteFile(dir_ / "data.bin", data_);
  }

  test::Party Party(GostKeyKind kind, const std::string& name = "signer") {
    return test::MakeParty(dir_, *ca_, name + test::KindName(kind), kind);
  }

  Bytes Sign(const test::Party& p, GostKeyKind kind, bool detached, bool with_time) {
    CRYPT_SIGN_MESSAGE_PARA para;
    para.pSigningCert = p.cert;
    para.HashAlgorithm.pszObjId = test::SignatureOidOf(kind);
    para.rgpMsgCert = {p.cert};
    if (with_time) {
      Bytes value;
      EXPECT_TRUE(EncodeSigningTime(FileTimeFromUnix(test::NowSeconds()), &value));
      para.rgAuthAttr.push_back({szOID_RSA_signingTime, {value}});
    }
    Bytes blob;
    EXPECT_TRUE(CryptSignMessage(para, detached, {data_.substr(0, 100), data_.substr(100)}, &blob))
        << std::hex << GetLastError();
    return blob;
  }

  // Exit status of openssl's check of a signature made here.
  int OpensslVerifies(const Bytes& blob, bool detached) {
    test::WriteFile(dir_ / "sig.p7s", blob);
    std::remove((dir_ / "out.bin").c_str());
    const std::string content = detached ? " -content " + dir_ / "data.bin" : "";
    const int rc = test::Run("openssl cms -engine gost -verify -binary -inform DER -in " + dir_ / "sig.p7s" +
                             content + " -CAfile " + dir_ / "ca.pem" + " -out " + dir_ / "out.bin");
    if (rc == 0) {
      EXPECT_TRUE(test::ReadFile(dir_ / "out.bin") == data_);
    }
    return rc;
  }

  Bytes OpensslSigns(const test::Party& p, bool detached, const std::string& extra = "") {
    const int rc = test::Run("openssl cms -engine gost -sign -binary -outform DER -in " + dir_ / "data.bin" +
                             " -signer " + p.cert_pem + " -inkey " + p.key_pem + (detached ? "" : " -nodetach") +
                             extra + " -out " + dir_ / "theirs.p7s");
    EXPECT_EQ(rc, 0);
    return test::ReadFile(dir_ / "theirs.p7s");
  }

  static test::Issued* ca_;
  test::TempDir dir_;
  test::ScopedPlatformRoot root_{dir_.path()};
  Bytes data_;
};

test::Issued* SignedMsgTest::ca_ = nullptr;

const GostKeyKind kKinds[] = {GostKeyKind::k2012_256, GostKeyKind::k2012_512, GostKeyKind::k2001};

TEST_F(SignedMsgTest, OpensslVerifiesEverySignatureMadeHere) {
  for (GostKeyKind kind : kKinds) {
    const test::Party p = Party(kind);
    for (bool detached : {false, true})
      for (bool with_time : {false, true}) {
        SCOPED_TRACE(std::string(test::KindName(kind)) + (detached ? " detached" : " attached") +
                     (with_time ? " with time" : ""));
        const Bytes blob = Sign(p, kind, detached, with_time);
        EXPECT_EQ(OpensslVerifies(blob, detached), 0);
        CRYPT_VERIFY_MESSAGE_PARA verify;
        if (detached) {
          EXPECT_TRUE(CryptVerifyDetachedMessageSignature(verify, 0, blob, {data_}, nullptr)) << std::hex
                                                                                              << GetLastError();
        } else {
          Bytes content;
          EXPECT_TRUE(CryptVerifyMessageSignature(verify, 0, blob, &content, nullptr)) << std::hex << GetLastError();
          EXPECT_TRUE(content == data_);
        }
      }
  }
}

TEST_F(SignedMsgTest, HashFollowsTheSignatureAlgorithm) {
  struct Case {
    GostKeyKind kind;
    const char* hash_oid;
  } cases[] = {{GostKeyKind::k2012_256, "1.2.643.7.1.1.2.2"},
               {GostKeyKind::k2012_512, "1.2.643.7.1.1.2.3"},
               {GostKeyKind::k2001, "1.2.643.2.2.9"}};
  for (const Case& c : cases) {
    const test::Party p = Party(c.kind);
    const Bytes blob = Sign(p, c.kind, false, false);
    HCRYPTMSG msg = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
    ASSERT_TRUE(CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(blob.data()), static_cast<DWORD>(blob.size()), true));
    CRYPT_ALGORITHM_IDENTIFIER alg;
    ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_SIGNER_HASH_ALGORITHM_PARAM, 0, &alg));
    EXPECT_EQ(alg.pszObjId, c.hash_oid);
  }
}

TEST_F(SignedMsgTest, HashTheKeyCannotSignWithIsRefusedNotSwapped) {
  // The certificates are issued by a 2012-256 CA, so each names the CA's
  // algorithm. Passed as the hash, that name is honoured, and a key of
  // another kind refuses it; the key's own hash signs.
  const struct {
    GostKeyKind kind;
    const char* hash_oid;
  } cases[] = {{GostKeyKind::k2012_512, "1.2.643.7.1.1.2.3"}, {GostKeyKind::k2001, "1.2.643.2.2.9"}};
  for (const auto& c : cases) {
    const test::Party p = Party(c.kind);
    ASSERT_EQ(p.cert->Info().SignatureAlgorithm.pszObjId, "1.2.643.7.1.1.3.2");
    CRYPT_SIGN_MESSAGE_PARA para;
    para.pSigningCert = p.cert;
    para.HashAlgorithm.pszObjId = p.cert->Info().SignatureAlgorithm.pszObjId;
    para.rgpMsgCert = {p.cert};
    Bytes blob;
    EXPECT_FALSE(CryptSignMessage(para, false, {data_}, &blob)) << test::KindName(c.kind);
    EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);
    para.HashAlgorithm.pszObjId = test::SignatureOidOf(c.kind);
    ASSERT_TRUE(CryptSignMessage(para, false, {data_}, &blob)) << std::hex << GetLastError();
    EXPECT_EQ(OpensslVerifies(blob, false), 0) << test::KindName(c.kind);
    HCRYPTMSG msg = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
    ASSERT_TRUE(CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(blob.data()), static_cast<DWORD>(blob.size()), true));
    CRYPT_ALGORITHM_IDENTIFIER alg;
    ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_SIGNER_HASH_ALGORITHM_PARAM, 0, &alg));
    EXPECT_EQ(alg.pszObjId, c.hash_oid);
  }
  // An identifier that names no GOST hash is refused.
  const test::Party p = Party(GostKeyKind::k2012_256);
  CRYPT_SIGN_MESSAGE_PARA para;
  para.pSigningCert = p.cert;
  para.HashAlgorithm.pszObjId = "1.2.840.113549.1.1.11";
  Bytes blob;
  EXPECT_FALSE(CryptSignMessage(para, false, {data_}, &blob));
  EXPECT_EQ(GetLastError(), CRYPT_E_UNKNOWN_ALGO);
}

TEST_F(SignedMsgTest, EverySignatureOfOpensslVerifiesHereAndATamperedByteDoesNot) {
  for (GostKeyKind kind : kKinds) {
    const test::Party p = Party(kind);
    for (bool detached : {false, true})
      for (const char* extra : {"", " -noattr"}) {
        SCOPED_TRACE(std::string(test::KindName(kind)) + (detached ? " detached" : " attached") + extra);
        const Bytes blob = OpensslSigns(p, detached, extra);
        CRYPT_VERIFY_MESSAGE_PARA verify;
        Bytes tampered_data = data_;
        tampered_data[10] ^= 0x01;
        if (detached) {
          EXPECT_TRUE(CryptVerifyDetachedMessageSignature(verify, 0, blob, {data_}, nullptr));
          EXPECT_FALSE(CryptVerifyDetachedMessageSignature(verify, 0, blob, {tampered_data}, nullptr));
          EXPECT_EQ(GetLastError(), NTE_BAD_SIGNATURE);
        } else {
          Bytes content;
          EXPECT_TRUE(CryptVerifyMessageSignature(verify, 0, blob, &content, nullptr)) << std::hex << GetLastError();
          EXPECT_TRUE(content == data_);
          Bytes tampered = blob;
          const size_t at = tampered.find(data_.substr(0, 20));
          ASSERT_NE(at, Bytes::npos);
          tampered[at + 10] ^= 0x01;
          EXPECT_FALSE(CryptVerifyMessageSignature(verify, 0, tampered, nullptr, nullptr));
          EXPECT_EQ(GetLastError(), NTE_BAD_SIGNATURE);
        }
        // A flipped bit of the signature value itself.
        Bytes bad_signature = blob;
        bad_signature[bad_signature.size() - 5] ^= 0x40;
        EXPECT_FALSE(detached ? CryptVerifyDetachedMessageSignature(verify, 0, bad_signature, {data_}, nullptr)
                              : CryptVerifyMessageSignature(verify, 0, bad_signature, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), NTE_BAD_SIGNATURE);
      }
  }
}

TEST_F(SignedMsgTest, DecodingAnswersCertificatesSignersAndAttributes) {
  const test::Party p = Party(GostKeyKind::k2012_256);
  for (bool with_time : {false, true}) {
    const Bytes blob = Sign(p, GostKeyKind::k2012_256, false, with_time);
    HCRYPTMSG msg = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
    ASSERT_TRUE(CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(blob.data()), static_cast<DWORD>(blob.size()), true));
    DWORD type = 0, certs = 0, signers = 0;
    ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_TYPE_PARAM, 0, &type));
    ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_CERT_COUNT_PARAM, 0, &certs));
    ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_SIGNER_COUNT_PARAM, 0, &signers));
    EXPECT_EQ(type, CMSG_SIGNED);
    EXPECT_EQ(certs, 1u);
    EXPECT_EQ(signers, 1u);
    Bytes cert;
    ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_CERT_PARAM, 0, &cert));
    EXPECT_EQ(cert, p.issued.der);
    CERT_INFO id;
    ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_SIGNER_CERT_INFO_PARAM, 0, &id));
    EXPECT_EQ(id.Issuer, p.cert->Info().Issuer);
    EXPECT_EQ(id.SerialNumber, p.cert->Info().SerialNumber);
    EXPECT_FALSE(CryptMsgGetParam(msg, CMSG_SIGNER_CERT_INFO_PARAM, 1, &id));
    EXPECT_EQ(GetLastError(), CRYPT_E_INVALID_INDEX);

    CRYPT_ATTRIBUTES attrs;
    if (!with_time) {
      EXPECT_FALSE(CryptMsgGetParam(msg, CMSG_SIGNER_AUTH_ATTR_PARAM, 0, &attrs));
      EXPECT_EQ(GetLastError(), CRYPT_E_ATTRIBUTES_MISSING);
    } else {
      ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_SIGNER_AUTH_ATTR_PARAM, 0, &attrs));
      std::vector<std::string> oids;
      for (const CRYPT_ATTRIBUTE& a : attrs.rgAttr) oids.push_back(a.pszObjId);
      std::sort(oids.begin(), oids.end());
      EXPECT_EQ(oids, (std::vector<std::string>{szOID_RSA_contentType, szOID_RSA_messageDigest, szOID_RSA_signingTime}));
      for (const CRYPT_ATTRIBUTE& a : attrs.rgAttr) {
        if (a.pszObjId != szOID_RSA_signingTime) continue;
        FILETIME ft = 0;
        ASSERT_TRUE(CryptDecodeObject(X509_ASN_ENCODING, szOID_RSA_signingTime,
                                      reinterpret_cast<const BYTE*>(a.rgValue[0].data()),
                                      static_cast<DWORD>(a.rgValue[0].size()), 0, &ft));
        EXPECT_NEAR(static_cast<double>(UnixFromFileTime(ft)), static_cast<double>(test::NowSeconds()), 60);
      }
    }
    // The content with the size-query rules.
    DWORD size = 0;
    ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, nullptr, &size));
    EXPECT_EQ(size, data_.size());
    Bytes small(10, '\0');
    DWORD small_size = 10;
    EXPECT_FALSE(CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, reinterpret_cast<BYTE*>(small.data()), &small_size));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(small_size, data_.size());
    Bytes content(size, '\0');
    ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, reinterpret_cast<BYTE*>(content.data()), &size));
    EXPECT_TRUE(content == data_);
    Bytes computed;
    ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_COMPUTED_HASH_PARAM, 0, &computed));
    unsigned char md[32];
    unsigned int md_len = 0;
    ASSERT_EQ(EVP_Digest(data_.data(), data_.size(), md, &md_len, ossl::DigestByName("md_gost12_256"), nullptr), 1);
    EXPECT_EQ(computed, Bytes(reinterpret_cast<char*>(md), md_len));
    // The signer checked against the certificate's key, by identifier.
    EXPECT_TRUE(CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE, &p.cert->Info()));
    const test::Party other = Party(GostKeyKind::k2012_256, "other");
    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA ex;
    ex.pvSigner = other.cert;
    EXPECT_FALSE(CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, ex));
    EXPECT_EQ(GetLastError(), NTE_BAD_SIGNATURE);
    EXPECT_FALSE(CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE, &other.cert->Info()));
    EXPECT_EQ(GetLastError(), CRYPT_E_SIGNER_NOT_FOUND);
  }
}

TEST_F(SignedMsgTest, SignerCertificateComesFromTheCallbackWhenTheMessageLacksIt) {
  const test::Party p = Party(GostKeyKind::k2012_256);
  const Bytes blob = OpensslSigns(p, true, " -nocerts");
  CRYPT_VERIFY_MESSAGE_PARA verify;
  EXPECT_FALSE(CryptVerifyDetachedMessageSignature(verify, 0, blob, {data_}, nullptr));
  EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);

  Bytes asked_serial;
  verify.pfnGetSignerCertificate = [&](const CERT_INFO& id, const HCERTSTORE&) -> PCCERT_CONTEXT {
    asked_serial = id.SerialNumber;
    return id.SerialNumber == p.cert->Info().SerialNumber ? p.cert : nullptr;
  };
  PCCERT_CONTEXT signer;
  EXPECT_TRUE(CryptVerifyDetachedMessageSignature(verify, 0, blob, {data_}, &signer)) << std::hex << GetLastError();
  EXPECT_EQ(asked_serial, p.cert->Info().SerialNumber);
  EXPECT_EQ(signer, p.cert);
  verify.pfnGetSignerCertificate = [](const CERT_INFO&, const HCERTSTORE&) { return PCCERT_CONTEXT(); };
  EXPECT_FALSE(CryptVerifyDetachedMessageSignature(verify, 0, blob, {data_}, nullptr));
  EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
  EXPECT_FALSE(CryptVerifyDetachedMessageSignature(CRYPT_VERIFY_MESSAGE_PARA(), 1, blob, {data_}, nullptr));
  EXPECT_EQ(GetLastError(), CRYPT_E_NO_SIGNER);
}

TEST_F(SignedMsgTest, TwoSignersOfDifferentKindsInOneMessage) {
  const test::Party first = Party(GostKeyKind::k2012_256, "first");
  const test::Party second = Party(GostKeyKind::k2001, "second");
  CMSG_SIGNED_ENCODE_INFO info;
  for (const test::Party* p : {&first, &second}) {
    CMSG_SIGNER_ENCODE_INFO signer;
    ASSERT_TRUE(SignerForCertificate(p->cert, p == &first ? "1.2.643.7.1.1.3.2" : "1.2.643.2.2.3", &signer));
    info.rgSigners.push_back(signer);
    info.rgCertEncoded.push_back(p->issued.der);
  }
  HCRYPTMSG msg = CryptMsgOpenToEncode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CMSG_SIGNED, info, nullptr, nullptr);
  ASSERT_NE(msg, nullptr);
  ASSERT_TRUE(CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(data_.data()), static_cast<DWORD>(data_.size()), true));
  Bytes blob;
  ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, &blob));
  EXPECT_EQ(OpensslVerifies(blob, false), 0);
  for (DWORD i = 0; i < 2; ++i) EXPECT_TRUE(CryptVerifyMessageSignature(CRYPT_VERIFY_MESSAGE_PARA(), i, blob, nullptr, nullptr));
  EXPECT_FALSE(CryptVerifyMessageSignature(CRYPT_VERIFY_MESSAGE_PARA(), 2, blob, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), CRYPT_E_NO_SIGNER);
  // Updates after the final one are refused.
  EXPECT_FALSE(CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>("x"), 1, true));
  EXPECT_EQ(GetLastError(), CRYPT_E_MSG_ERROR);
}

TEST_F(SignedMsgTest, PlainDataMessageGivesItsContent) {
  ASSERT_EQ(test::Run("openssl cms -data_create -binary -outform DER -in " + dir_ / "data.bin" + " -out " +
                      dir_ / "data.p7"),
            0);
  const Bytes blob = test::ReadFile(dir_ / "data.p7");
  HCRYPTMSG msg = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
  ASSERT_TRUE(CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(blob.data()), static_cast<DWORD>(blob.size()), true));
  DWORD type = 0;
  ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_TYPE_PARAM, 0, &type));
  EXPECT_EQ(type, CMSG_DATA);
  Bytes content;
  ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, &content));
  EXPECT_TRUE(content == data_);
  // Opened for a signed message only, it is refused.
  HCRYPTMSG signed_only = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CMSG_SIGNED, 0, nullptr, nullptr);
  EXPECT_FALSE(CryptMsgUpdate(signed_only, reinterpret_cast<const BYTE*>(blob.data()), static_cast<DWORD>(blob.size()), true));
  EXPECT_EQ(GetLastError(), CRYPT_E_INVALID_MSG_TYPE);
}

TEST_F(SignedMsgTest, CancelledPinRequestTravelsAsTheFailureCode) {
  const test::Party p = test::MakeParty(dir_, *ca_, "pinned", GostKeyKind::k2012_256, AT_KEYEXCHANGE, nullptr, "1234");
  CRYPT_SIGN_MESSAGE_PARA para;
  para.pSigningCert = p.cert;
  para.HashAlgorithm.pszObjId = "1.2.643.7.1.1.3.2";
  para.rgpMsgCert = {p.cert};
  Bytes blob;
  {
    test::ScriptedPrompt prompt;  // no PIN given: the person cancels
    EXPECT_FALSE(CryptSignMessage(para, true, {data_}, &blob));
    EXPECT_EQ(GetLastError(), SCARD_W_CANCELLED_BY_USER);
    EXPECT_EQ(prompt.asked.size(), 1u);
  }
  test::ScriptedPrompt prompt;
  prompt.pins = {"1234"};
  ASSERT_TRUE(CryptSignMessage(para, true, {data_}, &blob)) << std::hex << GetLastError();
  EXPECT_EQ(OpensslVerifies(blob, true), 0);
}

TEST_F(SignedMsgTest, ContentInfoDecodesWithoutCopyAndIgnoresWhatFollows) {
  const test::Party p = Party(GostKeyKind::k2012_256);
  const Bytes blob = Sign(p, GostKeyKind::k2012_256, false, false);
  const Bytes with_tail = blob + Bytes("\r\n\0\0garbage", 11);
  CRYPT_CONTENT_INFO info;
  const BYTE* bytes = reinterpret_cast<const BYTE*>(with_tail.data());
  ASSERT_TRUE(CryptDecodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, PKCS_CONTENT_INFO, bytes,
                                static_cast<DWORD>(with_tail.size()), CRYPT_DECODE_NOCOPY_FLAG, &info))
      << std::hex << GetLastError();
  EXPECT_EQ(info.pszObjId, szOID_RSA_signedData);
  // The content is the SignedData element itself, inside the caller's bytes.
  EXPECT_EQ(static_cast<BYTE>(info.Content[0]), 0x30);
  EXPECT_EQ(info.Content.data() + info.Content.size(), with_tail.data() + blob.size());
  // Cut short, not a ContentInfo, or asked for a copy.
  EXPECT_FALSE(CryptDecodeObject(X509_ASN_ENCODING, PKCS_CONTENT_INFO, bytes, static_cast<DWORD>(blob.size() - 1),
                                 CRYPT_DECODE_NOCOPY_FLAG, &info));
  EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_EOD);
  EXPECT_FALSE(CryptDecodeObject(X509_ASN_ENCODING, PKCS_CONTENT_INFO, bytes + 2, 100, CRYPT_DECODE_NOCOPY_FLAG, &info));
  EXPECT_FALSE(CryptDecodeObject(X509_ASN_ENCODING, PKCS_CONTENT_INFO, bytes, static_cast<DWORD>(blob.size()), 0, &info));
  EXPECT_EQ(GetLastError(), E_INVALIDARG);
  // A content type alone (no content) decodes too.
  const Bytes bare("\x30\x0B\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x01", 13);
  ASSERT_TRUE(CryptDecodeObject(X509_ASN_ENCODING, PKCS_CONTENT_INFO, reinterpret_cast<const BYTE*>(bare.data()),
                                static_cast<DWORD>(bare.size()), CRYPT_DECODE_NOCOPY_FLAG, &info));
  EXPECT_EQ(info.pszObjId, szOID_RSA_data);
  EXPECT_TRUE(info.Content.empty());
}

TEST(SigningTime, EncodesUtcTimeInsideItsCenturyAndGeneralizedTimeOutside) {
  struct Case {
    int64_t unix_seconds;
    Bytes der;
  } cases[] = {
      {1796644801, Bytes("\x17\x0D") + "261207120001Z"},            // 2026-12-07 12:00:01
      {-631152000, Bytes("\x17\x0D") + "500101000000Z"},            // 1950-01-01
      {-631152001, Bytes("\x18\x0F") + "19491231235959Z"},          // the second before
      {2524608000, Bytes("\x18\x0F") + "20500101000000Z"},          // 2050-01-01
      {951782400, Bytes("\x17\x0D") + "000229000000Z"},             // a leap day
  };
  for (const Case& c : cases) {
    Bytes der;
    ASSERT_TRUE(EncodeSigningTime(FileTimeFromUnix(c.unix_seconds), &der));
    EXPECT_EQ(der, c.der) << c.unix_seconds;
    FILETIME back = 0;
    ASSERT_TRUE(DecodeSigningTime(der, &back));
    EXPECT_EQ(UnixFromFileTime(back), c.unix_seconds);
  }
  // Fractions of a second survive decoding, never encoding.
  FILETIME ft = 0;
  ASSERT_TRUE(DecodeSigningTime(Bytes("\x18\x12") + "20261207120001.25Z", &ft));
  EXPECT_EQ(ft, FileTimeFromUnix(1796644801) + 2500000);
  // Not a time, or not in UTC.
  for (const Bytes& bad : {Bytes("\x17\x0D") + "261307120001Z", Bytes("\x17\x0D") + "2612071200010", Bytes("\x04\x00", 2),
                           Bytes("\x17\x05") + "2612Z", Bytes()})
    EXPECT_FALSE(DecodeSigningTime(bad, &ft)) << bad;
  // The CryptoAPI form: size query, then the value.
  DWORD size = 0;
  ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, szOID_RSA_signingTime, FileTimeFromUnix(0), nullptr, &size));
  EXPECT_EQ(size, 15u);
}

}  // namespace
}  // namespace zuntar
