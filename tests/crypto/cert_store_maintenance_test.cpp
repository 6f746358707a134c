// The certificate manager's store maintenance: the store it keeps open,
// certificates and revocation lists added, the private-key test, container
// names and the installation of personal certificates from key media.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "certs/key_containers.h"
#include "certs/os_error.h"
#include "core/utf.h"
#include "crypto/cert_identity.h"
#include "crypto/cert_manager_csp.h"
#include "crypto/personal_cert.h"
#include "crypto_fixture.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/csp/container_import.h"

namespace zuntar {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kDay = 86400;

class StoreMaintenanceTest : public test::CryptoTest {
 protected:
  void SetUp() override {
    CryptoTest::SetUp();
    fs::create_directories(dir_ / "media/USB1");
  }

  static std::vector<Bytes> Bodies(const char* store_name) {
    std::vector<Bytes> out;
    HCERTSTORE store = CertOpenSystemStoreA(0, store_name);
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(store, c))
      out.push_back(c->Encoded());
    return out;
  }

  static std::vector<PCCRL_CONTEXT> Crls() {
    std::vector<PCCRL_CONTEXT> out;
    HCERTSTORE store = CertOpenSystemStoreA(0, "CA");
    for (PCCRL_CONTEXT c = CertEnumCRLsInStore(store, nullptr); c != nullptr; c = CertEnumCRLsInStore(store, c))
      out.push_back(c);
    return out;
  }

  // The container a personal certificate is linked to (ANSI, as the
  // provider names it); empty without one.
  static std::string LinkedContainer(const Bytes& body) {
    HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(my, nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(my, c)) {
      CRYPT_KEY_PROV_INFO info;
      if (c->Encoded() == body && CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, &info))
        return AnsiFromUtf8(Utf8FromWide(info.pwszContainerName));
    }
    return {};
  }

  // Every entry under a folder: files with their bytes, folders and links
  // by name.
  static std::map<std::string, Bytes> Snapshot(const std::string& folder) {
    std::map<std::string, Bytes> out;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
      const std::string path = entry.path().string();
      if (entry.is_symlink())
        out[path] = "link:" + fs::read_symlink(entry.path()).string();
      else if (entry.is_regular_file())
        out[path] = test::ReadFile(path);
      else
        out[path] = "folder";
    }
    return out;
  }

  // A person with a key on the medium in `folder` and the certificate in
  // no store.
  test::Issued OnMedium(const std::string& folder, const CertRequest& request) {
    CertRequest r = request;
    test::Issued user = test::MakeUser(ca_, "", GostKeyKind::k2012_256, &r);
    EXPECT_TRUE(ImportKeyContainer("\\\\.\\FAT12_A\\" + folder, user.key.get(), user.der, "", AT_KEYEXCHANGE));
    return user;
  }

  bool Install(const std::string& container_or_path, const Bytes& body) {
    error_text_ = "stale";
    return manager_.InstallPersonalCert(container_or_path, body, error_text_);
  }

  std::string error_text_;
  TVCertMgrCSP manager_;
};

TEST_F(StoreMaintenanceTest, CertificatesAddedOnceToTheNamedOrTheOpenStore) {
  const test::Issued other_ca = test::MakeCa();
  manager_.AddCertToStore(ca_.der, "ROOT");
  manager_.AddCertToStore(ca_.der, "ROOT");  // there already: nothing happens
  manager_.AddCertToStore("not a certificate", "ROOT");
  EXPECT_EQ(Bodies("ROOT"), std::vector<Bytes>{ca_.der});
  manager_.AddCertToStore(other_ca.der, "");  // "CA" when unnamed
  EXPECT_EQ(Bodies("CA"), std::vector<Bytes>{other_ca.der});
  // An open store takes every addition until it is closed.
  manager_.OpenStore("MY");
  manager_.AddCertToStore(ca_.der, "ROOT");
  manager_.CloseStore();
  manager_.AddCertToStore(other_ca.der, "ROOT");
  EXPECT_EQ(Bodies("MY"), std::vector<Bytes>{ca_.der});
  EXPECT_EQ(Bodies("ROOT"), (std::vector<Bytes>{ca_.der, other_ca.der}));
  // A store that cannot be opened raises the platform's error.
  test::WriteFile(dir_ / "user/stores/BROKEN", "a file where a folder should be");
  EXPECT_THROW(manager_.OpenStore("BROKEN"), EWin32Error);
  EXPECT_THROW(manager_.AddCertToStore(ca_.der, "BROKEN"), EWin32Error);
}

TEST_F(StoreMaintenanceTest, RevocationListsOnlyGetNewer) {
  try {
    manager_.ImportCrl("not a list");
    ADD_FAILURE() << "garbage imported";
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()), AnsiFromUtf8("Некорректных формат списка отзыва!"));
  }
  const int64_t now = test::NowSeconds();
  const Bytes newer = BuildCrl(ca_.der, ca_.key.get(), now - 60, now + kDay, {});
  const Bytes older = BuildCrl(ca_.der, ca_.key.get(), now - kDay, now + kDay, {});
  manager_.ImportCrl(newer);
  manager_.ImportCrl(older);  // silently kept out
  manager_.ImportCrl(newer);
  const std::vector<PCCRL_CONTEXT> crls = Crls();
  ASSERT_EQ(crls.size(), 1u);
  EXPECT_TRUE(crls[0]->Encoded() == newer);
  // Another issuer's list joins it; an open store takes it instead.
  const test::Issued other = test::MakeUser(ca_, "Другой издатель");
  const Bytes others = BuildCrl(other.der, other.key.get(), now - 60, now + kDay, {});
  manager_.OpenStore("ROOT");
  manager_.ImportCrl(others);
  manager_.CloseStore();
  EXPECT_EQ(Crls().size(), 1u);
  manager_.ImportCrl(others);
  EXPECT_EQ(Crls().size(), 2u);
}

TEST_F(StoreMaintenanceTest, PrivateKeyOnlyForALinkedCertificate) {
  const test::Party linked = Person("linked");
  const test::Party stranger = Person("stranger", GostKeyKind::k2012_256, false);
  EXPECT_TRUE(manager_.HasPrivateKey(linked.issued.der));
  EXPECT_FALSE(manager_.HasPrivateKey(stranger.issued.der));  // in no store
  EXPECT_FALSE(manager_.HasPrivateKey(test::MakeUser(ca_, "Без ключа").der));
  EXPECT_FALSE(manager_.HasPrivateKey(""));
  EXPECT_FALSE(manager_.HasPrivateKey("not a certificate"));
}

TEST_F(StoreMaintenanceTest, ContainerNamesFromTheHolderAndTheValidityStart) {
  CertRequest r = test::UserRequest("Иванов И. И.");
  r.subject = {{"2.5.4.4", "Ivanov"}, {"2.5.4.42", "Ivan"}, {"2.5.4.10", "  Romashka "}, {"2.5.4.3", "Ivanov I."}};
  r.not_before = 1709640000;  // 2024-03-05 12:00 UTC
  const test::Issued holder = test::MakeUser(ca_, "", GostKeyKind::k2012_256, &r);
  EXPECT_EQ(ContainerNameForCert(holder.der), "Ivanov Ivan-Romashka_20240305");
  // Any container whose name holds it takes the name, and so on.
  ASSERT_TRUE(ImportKeyContainer("\\\\.\\REGISTRY\\old Ivanov Ivan-Romashka_20240305 copy", holder.key.get(),
                                 holder.der, "", AT_KEYEXCHANGE));
  EXPECT_EQ(ContainerNameForCert(holder.der), "Ivanov Ivan-Romashka_20240305[2]");
  ASSERT_TRUE(ImportKeyContainer("\\\\.\\REGISTRY\\Ivanov Ivan-Romashka_20240305[2]", holder.key.get(), holder.der,
                                 "", AT_KEYEXCHANGE));
  EXPECT_EQ(ContainerNameForCert(holder.der), "Ivanov Ivan-Romashka_20240305[3]");
  // Without the holder's name the common name serves, without O no dash;
  // a long name is cut to 100 characters before the date.
  r.subject = {{"2.5.4.3", std::string(120, 'x')}};
  EXPECT_EQ(ContainerNameForCert(test::MakeUser(ca_, "", GostKeyKind::k2012_256, &r).der),
            std::string(100, 'x') + "_20240305");
}

TEST_F(StoreMaintenanceTest, PersonalCertificateFromAFolderOnKeyMedia) {
  // One holder, two certificates of the same day.
  const CertRequest request = test::UserRequest("Иванов");
  const test::Issued first = OnMedium("keys\\first.000", request);
  const test::Issued second = OnMedium("keys\\second.000", request);
  fs::create_directories(dir_ / "media/USB1/keys/empty");
  const auto medium = Snapshot(dir_ / "media");
  // The container's own folder, or the folder that holds it.
  const std::string first_name = ContainerNameForCert(first.der);
  ASSERT_TRUE(Install(dir_ / "media/USB1/keys/first.000", first.der)) << error_text_;
  EXPECT_EQ(error_text_, "");
  const std::string second_name = ContainerNameForCert(second.der);
  EXPECT_EQ(second_name, first_name + "[2]");
  ASSERT_TRUE(Install(dir_ / "media/USB1/keys/", second.der)) << error_text_;
  EXPECT_EQ(Snapshot(dir_ / "media"), medium);
  // The copies in the registry reader are linked, and work without the
  // medium.
  EXPECT_EQ(LinkedContainer(first.der), "\\\\.\\REGISTRY\\" + first_name);
  EXPECT_EQ(LinkedContainer(second.der), "\\\\.\\REGISTRY\\" + second_name);
  fs::rename(dir_ / "media/USB1", dir_ / "unplugged");
  EXPECT_TRUE(manager_.HasPrivateKey(first.der));
  EXPECT_FALSE(manager_.Sign("Заявление", second.der, true, false).empty());
}

TEST_F(StoreMaintenanceTest, FoldersWithoutTheCertificatesContainerAreRefused) {
  const test::Issued holder = OnMedium("keys\\holder.000", test::UserRequest("Держатель"));
  const test::Issued keyless = test::MakeUser(ca_, "Без ключа");
  fs::create_directory_symlink(dir_ / "media/USB1/keys", dir_ / "media/USB1/alias");
  fs::create_directory_symlink(dir_ / "media/USB1", dir_ / "media/USB2");
  fs::create_directories(dir_ / "elsewhere");
  fs::copy(dir_ / "media/USB1/keys/holder.000", dir_ / "elsewhere/holder.000", fs::copy_options::recursive);
  const auto medium = Snapshot(dir_ / "media");
  for (const std::string& path :
       {dir_ / "media/USB1/alias/holder.000", dir_ / "media/USB1/alias", dir_ / "media/USB2/keys/holder.000",
        dir_ / "media/USB1/keys/../keys/holder.000", dir_ / "media/USB1/./keys", dir_ / "elsewhere/holder.000",
        dir_ / "media/USB1/missing"}) {
    EXPECT_FALSE(Install(path, holder.der)) << path;
    EXPECT_NE(error_text_.find(path), std::string::npos) << error_text_;
  }
  // The right folder, another person's certificate.
  EXPECT_FALSE(Install(dir_ / "media/USB1/keys/holder.000", keyless.der));
  EXPECT_EQ(Bodies("MY"), std::vector<Bytes>{});
  EXPECT_EQ(Snapshot(dir_ / "media"), medium);
}

TEST_F(StoreMaintenanceTest, PersonalCertificateFromAContainerName) {
  const test::Issued media = OnMedium("keys\\media.000", test::UserRequest("Носитель"));
  const std::string copy_name = ContainerNameForCert(media.der);
  ASSERT_TRUE(Install("\\\\.\\FAT12_A\\keys\\media.000", media.der)) << error_text_;
  EXPECT_EQ(LinkedContainer(media.der), "\\\\.\\REGISTRY\\" + copy_name);
  // Any other name is linked as it stands.
  const test::Issued registry = test::MakeUser(ca_, "Реестр");
  ASSERT_TRUE(ImportKeyContainer("\\\\.\\REGISTRY\\reg", registry.key.get(), registry.der, "", AT_KEYEXCHANGE));
  ASSERT_TRUE(Install("\\\\.\\REGISTRY\\reg", registry.der)) << error_text_;
  EXPECT_EQ(error_text_, "");
  EXPECT_EQ(LinkedContainer(registry.der), "\\\\.\\REGISTRY\\reg");
  EXPECT_TRUE(manager_.HasPrivateKey(registry.der));
  // A failure on the way is the answer's text.
  EXPECT_FALSE(Install("\\\\.\\REGISTRY\\reg", "not a certificate"));
  EXPECT_NE(error_text_, "");
  EXPECT_NE(error_text_, "stale");
}

}  // namespace
}  // namespace zuntar
