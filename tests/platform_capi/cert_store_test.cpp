#include "platform/capi/cert/cert_store.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/capi/base/error_codes.h"
#include "platform/file_io.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"

namespace zuntar {
namespace {

using test::Issued;

class CertStoreTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ca_ = new Issued(test::MakeCa());
    for (int i = 0; i < 3; ++i) users_.push_back(new Issued(test::MakeUser(*ca_, "User " + std::to_string(i))));
  }
  static void TearDownTestSuite() {
    for (Issued* u : users_) delete u;
    users_.clear();
    delete ca_;
  }
  static PCCERT_CONTEXT Cert(int i) { return CertCreateCertificateContext(X509_ASN_ENCODING, users_[i]->der); }
  static HCERTSTORE OpenMy(DWORD location, DWORD extra = 0) {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_A, X509_ASN_ENCODING, 0, location | extra, "MY");
  }
  static std::vector<Bytes> Hashes(const HCERTSTORE& store) {
    std::vector<Bytes> out;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(store, c))
      out.push_back(c->Sha1());
    return out;
  }

  test::TempDir dir_;
  test::ScopedPlatformRoot root_{dir_.path()};
  static Issued* ca_;
  static std::vector<Issued*> users_;
};

Issued* CertStoreTest::ca_ = nullptr;
std::vector<Issued*> CertStoreTest::users_;

TEST_F(CertStoreTest, AddedCertificatesEnumerateInOrderAcrossHandles) {
  HCERTSTORE store = CertOpenSystemStoreA(0, "My");
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(CertEnumCertificatesInStore(store, nullptr), nullptr);
  for (int i : {2, 0, 1}) ASSERT_TRUE(CertAddCertificateContextToStore(store, Cert(i), CERT_STORE_ADD_NEW, nullptr));
  CertCloseStore(store, 0);
  HCERTSTORE again = OpenMy(CERT_SYSTEM_STORE_CURRENT_USER, CERT_STORE_READONLY_FLAG);
  EXPECT_EQ(Hashes(again), (std::vector<Bytes>{Cert(2)->Sha1(), Cert(0)->Sha1(), Cert(1)->Sha1()}));
  EXPECT_TRUE(Hashes(OpenMy(CERT_SYSTEM_STORE_LOCAL_MACHINE)).empty());
  EXPECT_EQ(OpenMy(CERT_SYSTEM_STORE_CURRENT_USER)->path(), dir_.path() + "user/stores/MY");
  EXPECT_EQ(OpenMy(CERT_SYSTEM_STORE_LOCAL_MACHINE)->path(), dir_.path() + "machine/stores/MY");
}

TEST_F(CertStoreTest, EnumerationGoesOnFromAnyEarlierContext) {
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  for (int i : {0, 1, 2}) ASSERT_TRUE(CertAddCertificateContextToStore(store, Cert(i), CERT_STORE_ADD_NEW, nullptr));
  PCCERT_CONTEXT first = CertEnumCertificatesInStore(store, nullptr);
  PCCERT_CONTEXT second = CertEnumCertificatesInStore(store, first);
  PCCERT_CONTEXT third = CertEnumCertificatesInStore(store, second);
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(CertEnumCertificatesInStore(store, third), nullptr);
  // Back to an earlier place, and from a copy of a context (same
  // certificate, another object).
  EXPECT_EQ(CertEnumCertificatesInStore(store, first), second);
  EXPECT_EQ(CertEnumCertificatesInStore(store, first), second);
  EXPECT_EQ(CertEnumCertificatesInStore(store, Cert(1))->Sha1(), third->Sha1());
  EXPECT_EQ(CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_ANY, {}, first), second);
  EXPECT_EQ(CertEnumCertificatesInStore(store, second), third);
}

TEST_F(CertStoreTest, Dispositions) {
  HCERTSTORE store = OpenMy(CERT_SYSTEM_STORE_CURRENT_USER);
  ASSERT_TRUE(CertAddCertificateContextToStore(store, Cert(0), CERT_STORE_ADD_NEW, nullptr));
  PCCERT_CONTEXT existing;
  EXPECT_FALSE(CertAddCertificateContextToStore(store, Cert(0), CERT_STORE_ADD_NEW, &existing));
  EXPECT_EQ(GetLastError(), CRYPT_E_EXISTS);
  ASSERT_NE(existing, nullptr);
  EXPECT_EQ(existing->Sha1(), Cert(0)->Sha1());
  // Newer: the same certificate is not newer than itself.
  EXPECT_FALSE(CertAddCertificateContextToStore(store, Cert(0), CERT_STORE_ADD_NEWER, nullptr));
  EXPECT_EQ(GetLastError(), CRYPT_E_EXISTS);
  // Always: no check. A system store keeps one entry per certificate hash:
  // the new copy, with its properties, takes the old one's place (a key
  // link installed for a certificate already there is found afterwards).
  PCCERT_CONTEXT linked = Cert(0);
  CRYPT_KEY_PROV_INFO info{u"cont", u"prov", 80, 0, AT_KEYEXCHANGE};
  ASSERT_TRUE(CertSetCertificateContextProperty(linked, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  ASSERT_TRUE(CertAddCertificateContextToStore(store, linked, CERT_STORE_ADD_ALWAYS, nullptr));
  EXPECT_EQ(Hashes(store), (std::vector<Bytes>{Cert(0)->Sha1()}));
  PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH,
                                                    Cert(0)->Sha1(), nullptr);
  ASSERT_NE(found, nullptr);
  CRYPT_KEY_PROV_INFO read;
  ASSERT_TRUE(CertGetCertificateContextProperty(found, CERT_KEY_PROV_INFO_PROP_ID, &read));
  EXPECT_EQ(read.pwszContainerName, u"cont");
  // Replace-existing leaves one, with its own properties.
  ASSERT_TRUE(CertAddCertificateContextToStore(store, Cert(0), CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
  EXPECT_EQ(Hashes(store).size(), 1u);
  // A memory store holds what it is given: two copies.
  HCERTSTORE memory = CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING, 0, 0, {});
  ASSERT_TRUE(CertAddCertificateContextToStore(memory, Cert(0), CERT_STORE_ADD_ALWAYS, nullptr));
  ASSERT_TRUE(CertAddCertificateContextToStore(memory, Cert(0), CERT_STORE_ADD_ALWAYS, nullptr));
  EXPECT_EQ(Hashes(memory).size(), 2u);
}

TEST_F(CertStoreTest, ReadOnlyStoreRefusesWrites) {
  HCERTSTORE store = OpenMy(CERT_SYSTEM_STORE_LOCAL_MACHINE, CERT_STORE_READONLY_FLAG);
  ASSERT_NE(store, nullptr);
  EXPECT_FALSE(CertAddCertificateContextToStore(store, Cert(0), CERT_STORE_ADD_ALWAYS, nullptr));
  EXPECT_EQ(GetLastError(), E_ACCESSDENIED);
  EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, X509_ASN_ENCODING, 0,
                          CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG, "ROOT"),
            nullptr);
  EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, X509_ASN_ENCODING, 0, CERT_SYSTEM_STORE_CURRENT_USER, "../x"),
            nullptr);
  // A file where the store's folder belongs makes the store unreachable.
  std::filesystem::create_directories(dir_.path() + "user/stores");
  WriteStringToFile("not a store", dir_.path() + "user/stores/CA");
  EXPECT_EQ(CertOpenSystemStoreA(0, "CA"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(CertStoreTest, FindByHashKeySubjectAndProperty) {
  HCERTSTORE store = OpenMy(CERT_SYSTEM_STORE_CURRENT_USER);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(CertAddCertificateContextToStore(store, Cert(i), CERT_STORE_ADD_NEW, nullptr));
  PCCERT_CONTEXT c1 = Cert(1);
  PCCERT_CONTEXT by_hash = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, c1->Sha1(), nullptr);
  ASSERT_NE(by_hash, nullptr);
  EXPECT_EQ(by_hash->Encoded(), c1->Encoded());
  PCCERT_CONTEXT by_key = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_PUBLIC_KEY,
                                                     &c1->Info().SubjectPublicKeyInfo, nullptr);
  ASSERT_NE(by_key, nullptr);
  EXPECT_EQ(by_key->Sha1(), c1->Sha1());
  CERT_INFO id;
  id.Issuer = c1->Info().Issuer;
  id.SerialNumber = c1->Info().SerialNumber + std::string(1, '\0');  // padded integers still match
  if (static_cast<unsigned char>(c1->Info().SerialNumber.back()) & 0x80) id.SerialNumber = c1->Info().SerialNumber;
  PCCERT_CONTEXT by_subject = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT, &id, nullptr);
  ASSERT_NE(by_subject, nullptr);
  EXPECT_EQ(by_subject->Sha1(), c1->Sha1());
  EXPECT_EQ(CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT, &id, by_subject), nullptr);
  EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
  EXPECT_EQ(CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_PROPERTY,
                                       CERT_KEY_PROV_INFO_PROP_ID, nullptr),
            nullptr);
  // A parameter of the wrong kind is an argument error, not a match.
  EXPECT_EQ(CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, DWORD{3}, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), E_INVALIDARG);
}

TEST_F(CertStoreTest, PropertiesOfStoreContextsPersistAndDeletionRemoves) {
  HCERTSTORE store = OpenMy(CERT_SYSTEM_STORE_CURRENT_USER);
  PCCERT_CONTEXT added;
  ASSERT_TRUE(CertAddCertificateContextToStore(store, Cert(0), CERT_STORE_ADD_NEW, &added));
  CRYPT_KEY_PROV_INFO info{u"\\\\.\\REGISTRY\\k", u"p", 75, 0, AT_SIGNATURE};
  ASSERT_TRUE(CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  HCERTSTORE other = OpenMy(CERT_SYSTEM_STORE_CURRENT_USER);
  PCCERT_CONTEXT seen = CertEnumCertificatesInStore(other, nullptr);
  CRYPT_KEY_PROV_INFO read;
  ASSERT_TRUE(CertGetCertificateContextProperty(seen, CERT_KEY_PROV_INFO_PROP_ID, &read));
  EXPECT_EQ(read.dwKeySpec, AT_SIGNATURE);
  CertCloseStore(other, 0);
  EXPECT_TRUE(CertDeleteCertificateFromStore(seen));
  EXPECT_TRUE(Hashes(store).empty());
}

TEST_F(CertStoreTest, DamagedFilesAreSkipped) {
  HCERTSTORE store = OpenMy(CERT_SYSTEM_STORE_CURRENT_USER);
  ASSERT_TRUE(CertAddCertificateContextToStore(store, Cert(0), CERT_STORE_ADD_NEW, nullptr));
  StoreFolder(store->path()).Write("00000005-DEAD", ".cer", "not a certificate");
  StoreFolder(store->path()).Write("00000005-DEAD", ".prop", "garbage\n9 ZZ\n");
  StoreFolder(store->path()).Write("abcdefgh-BEEF", ".cer", users_[1]->der);  // not a store entry name
  ASSERT_TRUE(CertAddCertificateContextToStore(store, Cert(2), CERT_STORE_ADD_NEW, nullptr));
  EXPECT_EQ(Hashes(store).size(), 2u);
}

TEST_F(CertStoreTest, CrlsKeepTheNewestPerIssuer) {
  HCERTSTORE store = CertOpenSystemStoreA(0, "CA");
  const int64_t now = test::NowSeconds();
  PCCRL_CONTEXT older = CertCreateCRLContext(X509_ASN_ENCODING, BuildCrl(ca_->der, ca_->key.get(), now - 1000, now + 1000, {}));
  PCCRL_CONTEXT newer = CertCreateCRLContext(X509_ASN_ENCODING, BuildCrl(ca_->der, ca_->key.get(), now - 10, now + 1000, {"\x01"}));
  ASSERT_NE(older, nullptr);
  ASSERT_NE(newer, nullptr);
  ASSERT_TRUE(CertAddCRLContextToStore(store, newer, CERT_STORE_ADD_NEWER, nullptr));
  EXPECT_FALSE(CertAddCRLContextToStore(store, older, CERT_STORE_ADD_NEWER, nullptr));
  EXPECT_EQ(GetLastError(), CRYPT_E_EXISTS);
  PCCRL_CONTEXT first = CertEnumCRLsInStore(store, nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->Sha1(), newer->Sha1());
  EXPECT_EQ(CertEnumCRLsInStore(store, first), nullptr);
  EXPECT_EQ(CertCreateCRLContext(X509_ASN_ENCODING, "\x30\x03\x02\x01\x01"), nullptr);
}

TEST_F(CertStoreTest, SeveralProcessesAddingAtOnceLoseNothing) {
  constexpr int kProcesses = 4;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    if (pid == 0) {
      HCERTSTORE store = OpenMy(CERT_SYSTEM_STORE_CURRENT_USER);
      bool ok = true;
      for (int round = 0; round < 5; ++round)
        for (int i = 0; i < 3; ++i) {
          const bool added = CertAddCertificateContextToStore(store, Cert((i + p) % 3), CERT_STORE_ADD_NEW, nullptr);
          ok = ok && (added || GetLastError() == CRYPT_E_EXISTS);
        }
      _exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(Hashes(OpenMy(CERT_SYSTEM_STORE_CURRENT_USER)).size(), 3u);
}

TEST_F(CertStoreTest, MemoryStore) {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, "");
  ASSERT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, users_[0]->der, CERT_STORE_ADD_ALWAYS, nullptr));
  EXPECT_FALSE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, "junk", CERT_STORE_ADD_ALWAYS, nullptr));
  PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr);
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(CertDeleteCertificateFromStore(c));
  EXPECT_EQ(CertEnumCertificatesInStore(store, nullptr), nullptr);
}

}  // namespace
}  // namespace zuntar
