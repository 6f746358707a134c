// Chains built from the system stores, with CRLs from the "CA" store.
#include "platform/capi/cert/cert_chain.h"

#include <gtest/gtest.h>

#include "platform/capi/base/error_codes.h"
#include "platform/capi/cert/cert_extensions.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"

namespace zuntar {
namespace {

constexpr DWORD kFlags = CERT_CHAIN_REVOCATION_CHECK_CHAIN | CERT_CHAIN_CACHE_END_CERT;

class CertChainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ca_ = test::MakeCa();
    user_ = test::MakeUser(ca_, "Пользователь");
  }

  static void Add(const char* store_name, const Bytes& der) {
    HCERTSTORE store = CertOpenSystemStoreA(0, store_name);
    ASSERT_NE(store, nullptr);
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, CERT_STORE_ADD_NEW, nullptr));
  }

  static void AddCrl(const test::Issued& issuer, const std::vector<Bytes>& revoked_serials,
                     int64_t next_update = test::NowSeconds() + 86400) {
    const Bytes crl = BuildCrl(issuer.der, issuer.key.get(), test::NowSeconds() - 60, next_update, revoked_serials);
    HCERTSTORE store = CertOpenSystemStoreA(0, "CA");
    ASSERT_TRUE(CertAddCRLContextToStore(store, CertCreateCRLContext(X509_ASN_ENCODING, crl), CERT_STORE_ADD_NEWER,
                                         nullptr));
  }

  static Bytes SerialOf(const Bytes& der) {
    const Bytes le = CertCreateCertificateContext(X509_ASN_ENCODING, der)->Info().SerialNumber;
    return Bytes(le.rbegin(), le.rend());
  }

  static DWORD ErrorStatus(const Bytes& der, const FILETIME* time = nullptr, DWORD flags = kFlags) {
    PCCERT_CHAIN_CONTEXT chain;
    EXPECT_TRUE(CertGetCertificateChain(nullptr, CertCreateCertificateContext(X509_ASN_ENCODING, der), time, nullptr,
                                        CERT_CHAIN_PARA(), flags, nullptr, &chain));
    return chain != nullptr ? chain->TrustStatus.dwErrorStatus : 0xFFFFFFFF;
  }

  test::TempDir dir_;
  test::ScopedPlatformRoot root_{dir_.path(), false};
  test::Issued ca_, user_;
};

TEST_F(CertChainTest, ValidChainWithTheIssuersCrlHasNoErrors) {
  Add("ROOT", ca_.der);
  AddCrl(ca_, {});
  PCCERT_CHAIN_CONTEXT chain;
  ASSERT_TRUE(CertGetCertificateChain(nullptr, CertCreateCertificateContext(X509_ASN_ENCODING, user_.der), nullptr,
                                      nullptr, CERT_CHAIN_PARA(), kFlags, nullptr, &chain));
  EXPECT_EQ(chain->TrustStatus.dwErrorStatus, CERT_TRUST_NO_ERROR);
  ASSERT_EQ(chain->rgpChain.size(), 1u);
  ASSERT_EQ(chain->rgpChain[0].rgpElement.size(), 2u);
  EXPECT_EQ(chain->rgpChain[0].rgpElement[1].pCertContext->Encoded(), ca_.der);
  EXPECT_TRUE(chain->rgpChain[0].rgpElement[1].TrustStatus.dwInfoStatus & CERT_TRUST_IS_SELF_SIGNED);
}

TEST_F(CertChainTest, WithoutACrlTheRevocationStatusIsUnknownAndOffline) {
  Add("ROOT", ca_.der);
  EXPECT_EQ(ErrorStatus(user_.der), CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
  EXPECT_EQ(ErrorStatus(user_.der, nullptr, CERT_CHAIN_CACHE_END_CERT), CERT_TRUST_NO_ERROR);
  // An expired CRL is no better than none.
  AddCrl(ca_, {}, test::NowSeconds() - 30);
  EXPECT_EQ(ErrorStatus(user_.der), CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
}

TEST_F(CertChainTest, RevokedCertificateInTheCaStoresCrl) {
  Add("ROOT", ca_.der);
  AddCrl(ca_, {SerialOf(user_.der)});
  EXPECT_EQ(ErrorStatus(user_.der), CERT_TRUST_IS_REVOKED);
}

TEST_F(CertChainTest, ExpiredCertificateIsNotTimeValidExceptAtATimeInsideItsPeriod) {
  Add("ROOT", ca_.der);
  AddCrl(ca_, {});
  CertRequest r = test::UserRequest("Просрочен");
  r.not_before = test::NowSeconds() - 20 * 3600;  // inside the CA's own period
  r.not_after = test::NowSeconds() - 3600;
  const test::Issued expired = test::MakeUser(ca_, "", GostKeyKind::k2012_256, &r);
  EXPECT_EQ(ErrorStatus(expired.der), CERT_TRUST_IS_NOT_TIME_VALID);
  const FILETIME inside = FileTimeFromUnix(test::NowSeconds() - 10 * 3600);
  EXPECT_EQ(ErrorStatus(expired.der, &inside) & CERT_TRUST_IS_NOT_TIME_VALID, 0u);
}

TEST_F(CertChainTest, RootOutsideTheRootStoreIsUntrusted) {
  Add("CA", ca_.der);
  EXPECT_EQ(ErrorStatus(user_.der, nullptr, CERT_CHAIN_CACHE_END_CERT), CERT_TRUST_IS_UNTRUSTED_ROOT);
}

TEST_F(CertChainTest, MissingIssuerGivesAPartialChain) {
  EXPECT_EQ(ErrorStatus(user_.der, nullptr, CERT_CHAIN_CACHE_END_CERT) & CERT_TRUST_IS_PARTIAL_CHAIN,
            CERT_TRUST_IS_PARTIAL_CHAIN);
  // An intermediate CA that is in no store breaks the chain the same way.
  test::Issued intermediate;
  intermediate.key = GenerateGostKey(GostKeyKind::k2012_256);
  CertRequest r = test::UserRequest("Промежуточный УЦ");
  r.is_ca = true;
  r.key_usage = CERT_KEY_CERT_SIGN_KEY_USAGE | CERT_CRL_SIGN_KEY_USAGE;
  intermediate.der = BuildCertificate(r, intermediate.key.get(), ca_.der, ca_.key.get());
  const test::Issued leaf = test::MakeUser(intermediate, "Лист");
  Add("ROOT", ca_.der);
  EXPECT_EQ(ErrorStatus(leaf.der, nullptr, CERT_CHAIN_CACHE_END_CERT) & CERT_TRUST_IS_PARTIAL_CHAIN,
            CERT_TRUST_IS_PARTIAL_CHAIN);
  Add("CA", intermediate.der);
  EXPECT_EQ(ErrorStatus(leaf.der, nullptr, CERT_CHAIN_CACHE_END_CERT), CERT_TRUST_NO_ERROR);
}

TEST_F(CertChainTest, ForgedSignatureIsNotSignatureValid) {
  Add("ROOT", ca_.der);
  AddCrl(ca_, {});
  // The CA's name, another key.
  test::Issued impostor;
  impostor.key = GenerateGostKey(GostKeyKind::k2012_256);
  impostor.der = ca_.der;
  const Bytes forged = BuildCertificate(test::UserRequest("Поддельный"), GenerateGostKey(GostKeyKind::k2012_256).get(),
                                        ca_.der, impostor.key.get());
  EXPECT_TRUE(ErrorStatus(forged) & CERT_TRUST_IS_NOT_SIGNATURE_VALID);
}

TEST_F(CertChainTest, ValidChainWhoseCertificateLacksDigitalSignatureUsage) {
  Add("ROOT", ca_.der);
  AddCrl(ca_, {});
  CertRequest r = test::UserRequest("Шифрование");
  r.key_usage = CERT_KEY_ENCIPHERMENT_KEY_USAGE;
  const test::Issued encipher_only = test::MakeUser(ca_, "", GostKeyKind::k2012_256, &r);
  EXPECT_EQ(ErrorStatus(encipher_only.der), CERT_TRUST_NO_ERROR);
  BYTE usage = 0;
  PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, encipher_only.der);
  ASSERT_TRUE(CertGetIntendedKeyUsage(X509_ASN_ENCODING, cert->Info(), &usage, 1));
  EXPECT_EQ(usage & CERT_DIGITAL_SIGNATURE_KEY_USAGE, 0);
}

TEST_F(CertChainTest, CertificateOutlivingItsIssuerIsNotTimeNested) {
  Add("ROOT", ca_.der);
  AddCrl(ca_, {});
  CertRequest r = test::UserRequest("Долгожитель");
  r.not_after = test::NowSeconds() + 86400 * 4000;  // the CA ends before
  const test::Issued outliving = test::MakeUser(ca_, "", GostKeyKind::k2012_256, &r);
  EXPECT_EQ(ErrorStatus(outliving.der), CERT_TRUST_IS_NOT_TIME_NESTED);
  r = test::UserRequest("Раньше УЦ");
  r.not_before = test::NowSeconds() - 86400 * 2;  // the CA starts after
  EXPECT_EQ(ErrorStatus(test::MakeUser(ca_, "", GostKeyKind::k2012_256, &r).der), CERT_TRUST_IS_NOT_TIME_NESTED);
  // Inside the issuer's period, a bound included.
  EXPECT_EQ(ErrorStatus(user_.der), CERT_TRUST_NO_ERROR);
}

TEST_F(CertChainTest, CertificatesThatCertifyEachOtherMakeACyclicChain) {
  // A and B issue each other's certificates; neither is a root.
  auto ca_request = [](const char* name) {
    CertRequest r = test::UserRequest(name);
    r.subject = {{"2.5.4.6", "RU"}, {"2.5.4.3", name}};
    r.is_ca = true;
    r.key_usage = CERT_KEY_CERT_SIGN_KEY_USAGE | CERT_CRL_SIGN_KEY_USAGE;
    return r;
  };
  test::Issued a, b;
  a.key = GenerateGostKey(GostKeyKind::k2012_256);
  b.key = GenerateGostKey(GostKeyKind::k2012_256);
  const Bytes b_self = BuildCertificate(ca_request("B"), b.key.get(), {}, b.key.get());
  a.der = BuildCertificate(ca_request("A"), a.key.get(), b_self, b.key.get());
  b.der = BuildCertificate(ca_request("B"), b.key.get(), a.der, a.key.get());
  const test::Issued leaf = test::MakeUser(a, "Лист");
  Add("CA", a.der);
  Add("CA", b.der);
  const DWORD status = ErrorStatus(leaf.der, nullptr, CERT_CHAIN_CACHE_END_CERT);
  EXPECT_TRUE(status & CERT_TRUST_IS_CYCLIC) << std::hex << status;
  EXPECT_FALSE(status & CERT_TRUST_IS_PARTIAL_CHAIN) << std::hex << status;
  // A chain that merely lacks its issuer stays partial.
  EXPECT_EQ(ErrorStatus(test::MakeUser(ca_, "Сирота").der, nullptr, CERT_CHAIN_CACHE_END_CERT) &
                (CERT_TRUST_IS_CYCLIC | CERT_TRUST_IS_PARTIAL_CHAIN),
            CERT_TRUST_IS_PARTIAL_CHAIN);
}

TEST_F(CertChainTest, UnknownCriticalExtensionIsNeverClean) {
  Add("ROOT", ca_.der);
  AddCrl(ca_, {});
  CertRequest r = test::UserRequest("Расширение");
  r.extra_extensions.push_back({"1.2.643.999.1", true, Bytes("\x05\x00", 2)});
  const test::Issued odd = test::MakeUser(ca_, "", GostKeyKind::k2012_256, &r);
  EXPECT_EQ(ErrorStatus(odd.der), CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT);
  // Not critical, it is only read past.
  r.extra_extensions[0].fCritical = false;
  EXPECT_EQ(ErrorStatus(test::MakeUser(ca_, "", GostKeyKind::k2012_256, &r).der), CERT_TRUST_NO_ERROR);
}

TEST_F(CertChainTest, EnginesOfTheirOwnUseTheirRestrictedRoot) {
  HCERTSTORE roots = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, {});
  ASSERT_TRUE(CertAddEncodedCertificateToStore(roots, X509_ASN_ENCODING, ca_.der, CERT_STORE_ADD_NEW, nullptr));
  CERT_CHAIN_ENGINE_CONFIG config;
  config.hRestrictedRoot = roots;
  config.dwFlags = 0x15;
  config.dwUrlRetrievalTimeout = 1;
  config.MaximumCachedCertificates = 10000;
  HCERTCHAINENGINE engine;
  ASSERT_TRUE(CertCreateCertificateChainEngine(config, &engine));
  PCCERT_CHAIN_CONTEXT chain;
  ASSERT_TRUE(CertGetCertificateChain(engine, CertCreateCertificateContext(X509_ASN_ENCODING, user_.der), nullptr,
                                      nullptr, CERT_CHAIN_PARA(), CERT_CHAIN_CACHE_END_CERT, nullptr, &chain));
  EXPECT_EQ(chain->TrustStatus.dwErrorStatus, CERT_TRUST_NO_ERROR);
  CertFreeCertificateChain(chain);
  EXPECT_EQ(chain, nullptr);
}

}  // namespace
}  // namespace zuntar
