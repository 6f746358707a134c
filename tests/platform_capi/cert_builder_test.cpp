// The certificate builder of the test PKI on requests it cannot honour, and
// private keys through PKCS #8 with and without a PIN.
#include "platform/capi/cert/cert_builder.h"

#include <gtest/gtest.h>

#include "platform/capi/cert/cert_context.h"
#include "platform/capi/cert/crl_context.h"
#include "support/test_pki.h"

namespace zuntar {
namespace {

TEST(CertBuilder, AnUnreadableOidAnywhereFailsTheWholeCertificate) {
  const test::Issued ca = test::MakeCa();
  const ossl::PKeyPtr key = GenerateGostKey(GostKeyKind::k2012_256);
  const auto build = [&](const CertRequest& r) { return BuildCertificate(r, key.get(), ca.der, ca.key.get()); };
  const CertRequest good = test::UserRequest("Годный");
  ASSERT_NE(CertCreateCertificateContext(X509_ASN_ENCODING, build(good)), nullptr);

  std::vector<std::pair<const char*, CertRequest>> bad(5, {nullptr, good});
  bad[0].first = "subject";
  bad[0].second.subject.push_back({"not.an.oid", "x"});
  bad[1].first = "extended key usage";
  bad[1].second.extended_key_usage.push_back("1.3.6.1.5.5.7.3.2.x");
  bad[2].first = "policy";
  bad[2].second.policies.push_back("");
  bad[3].first = "alternative name";
  bad[3].second.subject_alt_other_names.push_back({"nonsense", "текст"});
  bad[4].first = "extra extension";
  bad[4].second.extra_extensions.push_back({"extension", false, Bytes("\x05\x00", 2)});
  for (const auto& [what, request] : bad) EXPECT_EQ(build(request), Bytes()) << what;
}

TEST(CertBuilder, CrlOfSeveralSerialsAndOfNone) {
  const test::Issued ca = test::MakeCa();
  const int64_t now = test::NowSeconds();
  for (const std::vector<Bytes>& serials : {std::vector<Bytes>{}, {"\x01", "\x7F\x02", Bytes(20, '\x55')}}) {
    PCCRL_CONTEXT crl = CertCreateCRLContext(X509_ASN_ENCODING, BuildCrl(ca.der, ca.key.get(), now, now + 60, serials));
    ASSERT_NE(crl, nullptr) << serials.size();
    const STACK_OF(X509_REVOKED)* revoked = X509_CRL_get_REVOKED(crl->Crl());
    EXPECT_EQ(revoked != nullptr ? sk_X509_REVOKED_num(revoked) : 0, static_cast<int>(serials.size()));
  }
  EXPECT_EQ(BuildCrl("not a certificate", ca.key.get(), now, now + 60, {}), Bytes());
}

TEST(CertBuilder, Pkcs8KeepsTheKeyAndTellsWhetherAPinGuardsIt) {
  const ossl::PKeyPtr key = GenerateGostKey(GostKeyKind::k2012_512);
  for (const std::string pin : {"", "1234"}) {
    const Bytes der = PrivateKeyToPkcs8(key.get(), pin);
    ASSERT_FALSE(der.empty()) << pin;
    bool encrypted = !pin.empty();
    const ossl::PKeyPtr back = PrivateKeyFromPkcs8(der, pin, &encrypted);
    ASSERT_NE(back, nullptr) << pin;
    EXPECT_EQ(encrypted, !pin.empty());
    EXPECT_EQ(EVP_PKEY_eq(key.get(), back.get()), 1) << pin;
  }
  bool encrypted = false;
  EXPECT_EQ(PrivateKeyFromPkcs8(PrivateKeyToPkcs8(key.get(), "1234"), "4321", &encrypted), nullptr);
  EXPECT_TRUE(encrypted);
  EXPECT_EQ(PrivateKeyFromPkcs8("garbage", "", &encrypted), nullptr);
  EXPECT_FALSE(encrypted);
}

}  // namespace
}  // namespace zuntar
