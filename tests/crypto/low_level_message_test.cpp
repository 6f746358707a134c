// Raw signatures of data and of hash values, and hashes, through the
// provider's hash-and-sign calls.
#include <gtest/gtest.h>

#include <functional>

#include "crypto/crypt_exceptions.h"
#include "crypto/low_level_messages.h"
#include "crypto_fixture.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/gost/gost_key_material.h"

namespace zuntar {
namespace {

Bytes Streebog256(const Bytes& data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EXPECT_EQ(EVP_Digest(data.data(), data.size(), md, &len, ossl::DigestByName("md_gost12_256"), nullptr), 1);
  return Bytes(reinterpret_cast<char*>(md), len);
}

// The provider's byte order is the reverse of the standard one.
bool VerifiesWithTheCertificate(const PCCERT_CONTEXT& cert, const Bytes& digest, const Bytes& signature) {
  ossl::PKeyPtr key(X509_get_pubkey(cert->Certificate()));
  return VerifyDigest(key.get(), digest, signature);
}

class LowLevelMessageTest : public test::CryptoTest {};

TEST_F(LowLevelMessageTest, RawSignaturesOfDataAndOfHashValuesVerifyWithTheCertificatesKey) {
  const Bytes data = Data(10000);
  const Bytes digest = Streebog256(data);
  const test::Party p = Person("raw", GostKeyKind::k2012_256);
  const TCPLowLevelEncodedSignedMsg signed_data(p.cert, Len(data), Ptr(data));
  EXPECT_EQ(signed_data.Signature.size(), 64u);
  EXPECT_TRUE(VerifiesWithTheCertificate(p.cert, digest, signed_data.Signature));
  // The public-key blob ends with the key as the certificate carries it.
  const Bytes point = PublicKeyPoint(p.cert->Info().SubjectPublicKeyInfo);
  ASSERT_GT(signed_data.PublicKeyBlob.size(), point.size());
  EXPECT_EQ(signed_data.PublicKeyBlob[0], static_cast<char>(PUBLICKEYBLOB));
  EXPECT_EQ(signed_data.PublicKeyBlob.substr(signed_data.PublicKeyBlob.size() - point.size()), point);

  const TCPLowLevelEncodedSignedHashMsg signed_hash(p.cert, digest);
  EXPECT_TRUE(VerifiesWithTheCertificate(p.cert, digest, signed_hash.Signature));
  EXPECT_FALSE(VerifiesWithTheCertificate(p.cert, Streebog256("other"), signed_hash.Signature));
}

TEST_F(LowLevelMessageTest, HashValuesThatDoNotFitTheKeyAreRefused) {
  const Bytes data = Data(100);
  auto code = [](const std::function<void()>& sign) -> DWORD {
    try {
      sign();
    } catch (const ECryptError& e) {
      return e.ErrorCode();
    }
    return 0;
  };
  // The hash of these calls is GOST R 34.11-2012 256: keys of the other
  // kinds do not sign it.
  for (GostKeyKind kind : {GostKeyKind::k2012_512, GostKeyKind::k2001}) {
    SCOPED_TRACE(test::KindName(kind));
    const test::Party p = Person(std::string("other") + test::KindName(kind), kind);
    EXPECT_EQ(code([&] { TCPLowLevelEncodedSignedMsg(p.cert, Len(data), Ptr(data)); }), NTE_BAD_ALGID);
    EXPECT_EQ(code([&] { TCPLowLevelEncodedSignedHashMsg(p.cert, Streebog256(data)); }), NTE_BAD_ALGID);
  }
  // A value of any other length than the hash's never reaches the key.
  const test::Party p = Person("lengths", GostKeyKind::k2012_256);
  for (size_t size : {0, 5, 31, 33, 48, 64}) {
    SCOPED_TRACE(size);
    EXPECT_EQ(code([&] { TCPLowLevelEncodedSignedHashMsg(p.cert, Bytes(size, 'h')); }), NTE_BAD_HASH);
  }
}

TEST_F(LowLevelMessageTest, FailuresNameTheCallAndCarryTheCode) {
  const test::Party p = Person("nokey", GostKeyKind::k2012_256, false);
  PCCERT_CONTEXT unlinked = CertCreateCertificateContext(X509_ASN_ENCODING, p.issued.der);
  try {
    TCPLowLevelEncodedSignedHashMsg(unlinked, Bytes(32, 'h'));
    ADD_FAILURE() << "no error";
  } catch (const ECryptError& e) {
    EXPECT_EQ(e.ErrorCode(), CRYPT_E_NO_KEY_PROPERTY);
    const std::string text = e.what();
    EXPECT_EQ(text.rfind("CryptAcquireCertificatePrivateKey(", 0), 0u) << text;
    EXPECT_NE(text.find("-2146885621.\n"), std::string::npos) << text;
    EXPECT_EQ(text.back(), ')');
  }
  try {
    TCPLowLevelEncodedSignedMsg(unlinked, 1, reinterpret_cast<const BYTE*>("x"));
    ADD_FAILURE() << "no error";
  } catch (const ECryptError&) {
    ADD_FAILURE() << "the runtime's error is expected";
  } catch (const EWin32Error& e) {
    EXPECT_EQ(e.ErrorCode(), CRYPT_E_NO_KEY_PROPERTY);
  }
}

TEST_F(LowLevelMessageTest, HashIsGostR3411_2012_256AndNeedsAProvider) {
  const Bytes data = Data(70000);
  EXPECT_EQ(TCPHashMsg(Len(data), Ptr(data)).HashValue, Streebog256(data));
  EXPECT_EQ(TCPHashMsg(0, nullptr).HashValue, Streebog256(""));
  test::TempDir bare;
  test::ScopedPlatformRoot no_provider(bare.path(), false);
  EXPECT_THROW(TCPHashMsg(Len(data), Ptr(data)), EWin32Error);
}

}  // namespace
}  // namespace zuntar
