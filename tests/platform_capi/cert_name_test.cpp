#include "platform/capi/cert/cert_name.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/capi/base/error_codes.h"
#include "platform/capi/base/wide_text.h"
#include "platform/capi/cert/cert_extensions.h"
#include "support/test_pki.h"

namespace zuntar {
namespace {

using test::Issued;

class CertNameTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ca_ = new Issued(test::MakeCa());
    CertRequest r = test::UserRequest("Иванов Иван Иванович");
    r.subject_alt_other_names = {{"2.5.4.10", "ООО Ромашка"}, {"2.5.4.4", "Иванов"}};
    r.extra_extensions = {{"1.3.6.1.4.1.10244.4.3", false, std::string("\x04\x0E", 2) + "abcdefghijklmn"}};
    user_ = new Issued(test::MakeUser(*ca_, "", GostKeyKind::k2012_256, &r));
  }
  static void TearDownTestSuite() {
    delete user_;
    delete ca_;
  }
  PCCERT_CONTEXT User() const { return CertCreateCertificateContext(X509_ASN_ENCODING, user_->der); }
  static Issued* ca_;
  static Issued* user_;
};

Issued* CertNameTest::ca_ = nullptr;
Issued* CertNameTest::user_ = nullptr;

TEST_F(CertNameTest, SimpleDisplayNameIsTheCommonName) {
  EXPECT_EQ(NameString(User(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr), u"Иванов Иван Иванович");
  EXPECT_EQ(NameString(User(), CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG, nullptr), u"Тестовый УЦ");
}

TEST_F(CertNameTest, SimpleDisplayNameFallsBackWithoutCommonName) {
  CertRequest r = test::UserRequest("x");
  r.subject = {{"2.5.4.6", "RU"}, {"2.5.4.10", "Организация"}};
  Issued u = test::MakeUser(*ca_, "", GostKeyKind::k2012_256, &r);
  EXPECT_EQ(NameString(CertCreateCertificateContext(X509_ASN_ENCODING, u.der), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0,
                       nullptr),
            u"Организация");
}

TEST_F(CertNameTest, AttributeByOidIsCutToTheBuffer) {
  char16_t buffer[2098];
  DWORD n = CertGetNameStringW(User(), CERT_NAME_ATTR_TYPE, 0, "1.2.643.3.131.1.1", buffer, 2098);
  EXPECT_EQ(n, 13u);
  EXPECT_EQ(std::u16string(buffer), u"007701234567");
  n = CertGetNameStringW(User(), CERT_NAME_ATTR_TYPE, 0, "1.2.643.3.131.1.1", buffer, 5);
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(std::u16string(buffer), u"0077");
  EXPECT_EQ(CertGetNameStringW(User(), CERT_NAME_ATTR_TYPE, 0, "1.2.643.3.131.1.1", nullptr, 0), 13u);
  // Absent attributes and absent issuer attributes are empty strings.
  n = CertGetNameStringW(User(), CERT_NAME_ATTR_TYPE, 0, "1.2.643.100.5", buffer, 2098);
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(buffer[0], 0);
  n = CertGetNameStringW(User(), CERT_NAME_ATTR_TYPE, CERT_NAME_ISSUER_FLAG, "1.2.643.100.4", buffer, 2098);
  EXPECT_EQ(n, 1u);
}

TEST_F(CertNameTest, X500StringListsAttributesInEncodedOrder) {
  PCCERT_CONTEXT ctx = User();
  const std::u16string text = [&] {
    char16_t buffer[2048];
    const DWORD n = CertNameToStrW(X509_ASN_ENCODING, ctx->Info().Subject, CERT_X500_NAME_STR, buffer, 2048);
    return std::u16string(buffer, n - 1);
  }();
  EXPECT_EQ(Utf8FromUtf16(text),
            "C=RU, S=77 Москва, L=Москва, O=\"ООО \"\"Ромашка\"\"\", SN=Иванов, G=Иван Иванович, "
            "INN=007701234567, INNLE=7701234567, OGRN=1027700132195, SNILS=12345678901, "
            "CN=Иванов Иван Иванович");
  EXPECT_EQ(NameToUtf8(ctx->Info().Issuer, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG),
            "CN=Тестовый УЦ, O=Тестовый УЦ, C=RU");
  EXPECT_EQ(NameToUtf8(ctx->Info().Issuer, CERT_OID_NAME_STR), "2.5.4.6=RU, 2.5.4.10=Тестовый УЦ, 2.5.4.3=Тестовый УЦ");
}

TEST_F(CertNameTest, NameToStrSizeQueryAndGarbage) {
  PCCERT_CONTEXT ctx = User();
  const DWORD needed = CertNameToStrA(X509_ASN_ENCODING, ctx->Info().Issuer, CERT_X500_NAME_STR, nullptr, 0);
  EXPECT_GT(needed, 10u);
  char small[4];
  EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, ctx->Info().Issuer, CERT_X500_NAME_STR, small, 4), 4u);
  EXPECT_EQ(small[3], 0);
  char buffer[64];
  EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, "\x30\x05garbage", CERT_X500_NAME_STR, buffer, 64), 1u);
  EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, "", CERT_X500_NAME_STR, buffer, 64), 1u);
}

TEST_F(CertNameTest, ExtensionsDecodeToWhatTheProgramReads) {
  PCCERT_CONTEXT ctx = User();
  const auto& exts = ctx->Info().rgExtension;

  const CERT_EXTENSION* eku = CertFindExtension(szOID_ENHANCED_KEY_USAGE, exts);
  ASSERT_NE(eku, nullptr);
  std::vector<std::string> oids;
  ASSERT_TRUE(CryptDecodeEnhancedKeyUsage(eku->Value, &oids));
  EXPECT_EQ(oids, (std::vector<std::string>{"1.3.6.1.5.5.7.3.2", "1.3.6.1.5.5.7.3.4"}));

  std::vector<CERT_POLICY_INFO> policies;
  ASSERT_TRUE(CryptDecodeCertPolicies(CertFindExtension(szOID_CERT_POLICIES, exts)->Value, &policies));
  ASSERT_EQ(policies.size(), 2u);
  EXPECT_EQ(policies[1].pszPolicyIdentifier, "1.2.643.100.113.2");

  std::vector<CERT_ALT_NAME_ENTRY> names;
  ASSERT_TRUE(CryptDecodeAltName(CertFindExtension(szOID_SUBJECT_ALT_NAME2, exts)->Value, &names));
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0].dwAltNameChoice, CERT_ALT_NAME_OTHER_NAME);
  EXPECT_EQ(names[0].OtherName.pszObjId, "2.5.4.10");
  // The value is the DER of the string: UTF8String tag, length, UTF-8 bytes.
  EXPECT_EQ(names[0].OtherName.Value, "\x0C\x15ООО Ромашка");

  BYTE usage[4];
  ASSERT_TRUE(CertGetIntendedKeyUsage(X509_ASN_ENCODING, ctx->Info(), usage, 4));
  EXPECT_EQ(usage[0], 0xF0);

  const CERT_EXTENSION* pkup = CertFindExtension(szOID_PRIVATEKEY_USAGE_PERIOD, exts);
  ASSERT_NE(pkup, nullptr);
  EXPECT_NE(pkup->Value.find("\x80\x0F"), std::string::npos);
  EXPECT_NE(pkup->Value.find("\x81\x0F"), std::string::npos);

  const CERT_EXTENSION* tail = CertFindExtension("1.3.6.1.4.1.10244.4.3", exts);
  ASSERT_NE(tail, nullptr);
  EXPECT_EQ(tail->Value.substr(tail->Value.size() - 12), "cdefghijklmn");
}

TEST_F(CertNameTest, MissingAndBrokenExtensions) {
  PCCERT_CONTEXT ca = CertCreateCertificateContext(X509_ASN_ENCODING, ca_->der);
  EXPECT_EQ(CertFindExtension(szOID_ENHANCED_KEY_USAGE, ca->Info().rgExtension), nullptr);
  CERT_INFO no_usage;
  BYTE usage[1] = {0xAA};
  EXPECT_FALSE(CertGetIntendedKeyUsage(X509_ASN_ENCODING, no_usage, usage, 1));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(usage[0], 0);
  std::vector<std::string> oids;
  std::vector<CERT_POLICY_INFO> policies;
  std::vector<CERT_ALT_NAME_ENTRY> names;
  for (const Bytes& junk : {Bytes(), Bytes("\x30"), Bytes("\x30\x03\x06\x01"), Bytes("\x04\x02\x01\x02garbage")}) {
    EXPECT_FALSE(CryptDecodeEnhancedKeyUsage(junk, &oids));
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_FALSE(CryptDecodeCertPolicies(junk, &policies));
    EXPECT_FALSE(CryptDecodeAltName(junk, &names));
  }
}

TEST_F(CertNameTest, RandomBytesAsNamesAndExtensionsNeverCrash) {
  std::mt19937 rng(11);
  const Bytes subject = User()->Info().Subject;
  const Bytes eku = CertFindExtension(szOID_ENHANCED_KEY_USAGE, User()->Info().rgExtension)->Value;
  for (int i = 0; i < 500; ++i) {
    Bytes name = subject, ext = eku;
    name[rng() % name.size()] = static_cast<char>(rng());
    ext[rng() % ext.size()] = static_cast<char>(rng());
    if (i % 4 == 0) name.resize(rng() % name.size());
    char buffer[256];
    EXPECT_GE(CertNameToStrA(X509_ASN_ENCODING, name, CERT_X500_NAME_STR, buffer, sizeof buffer), 1u);
    std::vector<std::string> oids;
    std::vector<CERT_POLICY_INFO> policies;
    std::vector<CERT_ALT_NAME_ENTRY> names;
    CryptDecodeEnhancedKeyUsage(ext, &oids);
    CryptDecodeCertPolicies(ext, &policies);
    CryptDecodeAltName(name, &names);
  }
}

}  // namespace
}  // namespace zuntar
