#include "platform/capi/cert/cert_context.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "platform/capi/base/error_codes.h"
#include "support/test_pki.h"

namespace zuntar {
namespace {

using test::Issued;

class CertContextTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ca_ = new Issued(test::MakeCa());
    user_ = new Issued(test::MakeUser(*ca_, "Иванов Иван Иванович"));
  }
  static void TearDownTestSuite() {
    delete user_;
    delete ca_;
  }
  static Issued* ca_;
  static Issued* user_;
};

Issued* CertContextTest::ca_ = nullptr;
Issued* CertContextTest::user_ = nullptr;

TEST_F(CertContextTest, DecodesTheFieldsTheProgramReads) {
  ASSERT_FALSE(user_->der.empty());
  PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, user_->der);
  ASSERT_NE(ctx, nullptr);
  const CERT_INFO& info = ctx->Info();
  EXPECT_EQ(info.SignatureAlgorithm.pszObjId, "1.2.643.7.1.1.3.2");
  EXPECT_EQ(info.SubjectPublicKeyInfo.Algorithm.pszObjId, "1.2.643.7.1.1.1.1");
  EXPECT_FALSE(info.SubjectPublicKeyInfo.Algorithm.Parameters.empty());
  // The key bit string holds an OCTET STRING of the 64-byte point.
  ASSERT_EQ(info.SubjectPublicKeyInfo.PublicKey.pbData.size(), 66u);
  EXPECT_EQ(info.SubjectPublicKeyInfo.PublicKey.pbData.substr(0, 2), std::string("\x04\x40", 2));
  EXPECT_LT(info.NotBefore, info.NotAfter);
  EXPECT_EQ(UnixFromFileTime(info.NotBefore) / 10, (test::NowSeconds() - 3600) / 10);
  PCCERT_CONTEXT ca = CertCreateCertificateContext(X509_ASN_ENCODING, ca_->der);
  ASSERT_NE(ca, nullptr);
  EXPECT_TRUE(CertCompareCertificateName(X509_ASN_ENCODING, info.Issuer, ca->Info().Subject));
  EXPECT_GE(info.rgExtension.size(), 5u);
}

TEST_F(CertContextTest, SerialBlobIsLeastSignificantByteFirst) {
  Issued user;
  CertRequest r = test::UserRequest("Serial");
  r.serial = std::string("\x00\x81\x02\x03", 4);  // a leading zero keeps 0x81.. positive
  user.key = GenerateGostKey(GostKeyKind::k2012_256);
  user.der = BuildCertificate(r, user.key.get(), ca_->der, ca_->key.get());
  PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, user.der);
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(ctx->Info().SerialNumber, std::string("\x03\x02\x81\x00", 4));
}

TEST_F(CertContextTest, HashPropertyIsSha1OfTheEncodingWithSizeQuery) {
  PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, user_->der);
  DWORD size = 0;
  ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_SHA1_HASH_PROP_ID, nullptr, &size));
  EXPECT_EQ(size, 20u);
  BYTE small[10];
  size = sizeof small;
  EXPECT_FALSE(CertGetCertificateContextProperty(ctx, CERT_SHA1_HASH_PROP_ID, small, &size));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(size, 20u);
  BYTE hash[64];
  size = sizeof hash;
  ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_SHA1_HASH_PROP_ID, hash, &size));
  EXPECT_EQ(Bytes(reinterpret_cast<char*>(hash), size), ctx->Sha1());
}

TEST_F(CertContextTest, KeyProviderInfoIsSharedByDuplicates) {
  PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, user_->der);
  CRYPT_KEY_PROV_INFO info;
  EXPECT_FALSE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, &info));
  EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
  CRYPT_KEY_PROV_INFO set{u"\\\\.\\REGISTRY\\ключ", u"Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider",
                          80, 0, AT_KEYEXCHANGE};
  PCCERT_CONTEXT dup = CertDuplicateCertificateContext(ctx);
  ASSERT_TRUE(CertSetCertificateContextProperty(dup, CERT_KEY_PROV_INFO_PROP_ID, 0, &set));
  CertFreeCertificateContext(dup);
  EXPECT_EQ(dup, nullptr);
  ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, &info));
  EXPECT_EQ(info.pwszContainerName, set.pwszContainerName);
  EXPECT_EQ(info.pwszProvName, set.pwszProvName);
  EXPECT_EQ(info.dwProvType, 80u);
  EXPECT_EQ(info.dwKeySpec, AT_KEYEXCHANGE);
}

TEST_F(CertContextTest, DecodingAgainGivesAContextOfItsOwnOnAnyThread) {
  PCCERT_CONTEXT first = CertCreateCertificateContext(X509_ASN_ENCODING, user_->der);
  ASSERT_NE(first, nullptr);
  CRYPT_KEY_PROV_INFO info{u"\\\\.\\REGISTRY\\first", u"p", 80, 0, AT_KEYEXCHANGE};
  ASSERT_TRUE(CertSetCertificateContextProperty(first, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  // Threads decoding the same and other certificates at once each get a
  // context of their own, equal to the first, without its properties.
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const Bytes& der = (i + t) % 2 ? user_->der : ca_->der;
        PCCERT_CONTEXT c = CertCreateCertificateContext(X509_ASN_ENCODING, der);
        CRYPT_KEY_PROV_INFO none;
        if (c != nullptr && c != first && c->Encoded() == der && c->Certificate() != nullptr &&
            !CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, &none) &&
            (der != user_->der || (c->Info().SerialNumber == first->Info().SerialNumber &&
                                   c->Info().rgExtension.size() == first->Info().rgExtension.size() &&
                                   c->Sha1() == first->Sha1())))
          ++good;
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(good, 800);
  // A body that failed once fails again, with its error.
  const Bytes cut = user_->der.substr(0, user_->der.size() - 1);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(CertCreateCertificateContext(X509_ASN_ENCODING, cut), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
  }
}

TEST(CertContextGarbage, AnyBytesGiveANullContextNotACrash) {
  std::mt19937 rng(42);
  PCCERT_CONTEXT good;
  {
    Issued ca = test::MakeCa();
    good = CertCreateCertificateContext(X509_ASN_ENCODING, ca.der);
    ASSERT_NE(good, nullptr);
  }
  const Bytes der = good->Encoded();
  std::vector<Bytes> inputs = {"", "\x30", std::string("\x30\x00", 2), "\x30\x82\xFF\xFF", der + "x",
                               der.substr(0, der.size() / 2), der.substr(0, der.size() - 1)};
  for (int i = 0; i < 200; ++i) {
    Bytes noise(rng() % 400, '\0');
    for (char& c : noise) c = static_cast<char>(rng());
    inputs.push_back(noise);
    Bytes flipped = der;
    flipped[rng() % flipped.size()] ^= static_cast<char>(1 + rng() % 255);
    inputs.push_back(flipped);
  }
  for (const Bytes& in : inputs) {
    PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, in);
    if (ctx == nullptr) {
      EXPECT_NE(GetLastError(), 0u);
    }
  }
  for (size_t i = 0; i < 7; ++i)
    EXPECT_EQ(CertCreateCertificateContext(X509_ASN_ENCODING, inputs[i]), nullptr) << i;
}

TEST(CertCompareIntegerBlob, IgnoresInsignificantHighBytes) {
  struct Case {
    Bytes a, b;
    bool equal;
  } cases[] = {
      {std::string("\x01\x02", 2), std::string("\x01\x02\x00", 3), true},
      {std::string("\x81", 1), std::string("\x81\x00", 2), false},  // 0x81 is negative, 0x0081 is not
      {std::string("\x81\xFF", 2), std::string("\x81", 1), true},
      {std::string("\x00", 1), std::string(""), true},
      {std::string("\x01", 1), std::string("\x02", 1), false},
  };
  for (const Case& c : cases) EXPECT_EQ(CertCompareIntegerBlob(c.a, c.b), c.equal);
}

}  // namespace
}  // namespace zuntar
