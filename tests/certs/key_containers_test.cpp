// Key containers through the GOST provider: listing, the certificates kept
// with keys, linking to the personal store and copying into the registry
// reader.
#include "certs/key_containers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "certs/os_error.h"
#include "certs/provider_detection.h"
#include "platform/capi/api/crypt_api.h"
#include "platform/capi/api/provider_registration.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/base/wide_text.h"
#include "platform/capi/cert/cert_store.h"
#include "platform/capi/csp/container_import.h"
#include "platform/capi/msg/crypt_msg_simple.h"
#include "platform/file_io.h"
#include "platform/platform_root.h"
#include "platform/registry_writer.h"
#include "support/msg_fixture.h"
#include "support/private_root.h"
#include "support/scripted_prompt.h"
#include "support/version_record.h"

namespace zuntar {
namespace {

namespace fs = std::filesystem;

const std::string kMediaName = "\\\\.\\FAT12_A\\keys\\media.000";

class ContainerTest : public test::PrivateRootTest {
 protected:
  static void SetUpTestSuite() { ca_ = new test::Issued(test::MakeCa()); }
  static void TearDownTestSuite() {
    delete ca_;
    ca_ = nullptr;
  }
  void SetUp() override {
    test::PrivateRootTest::SetUp();
    RegisterGostProvider(ZUNTAR_TEST_CSP_MODULE);
    providers_ = ReadProviderState();
    fs::create_directories(root_ / "media/USB1");
  }
  void TearDown() override {
    std::remove(RegistryFile().c_str());
    test::PrivateRootTest::TearDown();
  }

  // A user with a key in a new container, the certificate kept beside it.
  test::Issued User(const std::string& container, const std::string& cn, GostKeyKind kind = GostKeyKind::k2012_256,
                    DWORD key_spec = AT_KEYEXCHANGE, const std::string& pin = {}) {
    test::Issued user = test::MakeUser(*ca_, cn, kind);
    EXPECT_TRUE(ImportKeyContainer(container, user.key.get(), user.der, pin, key_spec).has_value()) << container;
    return user;
  }

  static std::vector<PCCERT_CONTEXT> PersonalCerts() {
    std::vector<PCCERT_CONTEXT> out;
    HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(my, nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(my, c))
      out.push_back(c);
    return out;
  }

  static CRYPT_KEY_PROV_INFO LinkOf(const PCCERT_CONTEXT& cert) {
    CRYPT_KEY_PROV_INFO info;
    EXPECT_TRUE(CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, &info));
    return info;
  }

  // Every file of a folder with its bytes.
  static std::map<std::string, Bytes> Files(const std::string& folder) {
    std::map<std::string, Bytes> out;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
      if (entry.is_regular_file()) out[entry.path().string()] = test::ReadFile(entry.path().string());
    return out;
  }

  ProviderState providers_;
  static test::Issued* ca_;
};

test::Issued* ContainerTest::ca_ = nullptr;

TEST_F(ContainerTest, EnumerationListsEveryNameWhateverItsLength) {
  // A short name before a longer one: a reader that passed back the last
  // length would stop after the first.
  User("\\\\.\\REGISTRY\\a", "A");
  User("\\\\.\\REGISTRY\\b-with-a-much-longer-name", "B");
  User(kMediaName, "Media");
  std::vector<std::string> all;
  EnumContainers(&all);
  const std::string nul(1, '\0');
  EXPECT_EQ(all, (std::vector<std::string>{
                     "\\\\.\\REGISTRY\\a" + nul + "REGISTRY\\a.000",
                     "\\\\.\\REGISTRY\\b-with-a-much-longer-name" + nul + "REGISTRY\\b-with-a.000",
                     kMediaName + nul + "FAT12_A\\keys\\media.000"}));
  std::vector<std::string> media{"kept"};
  EnumContainers(&media, kRemovableContainerPrefix);
  ASSERT_EQ(media.size(), 2u);
  EXPECT_EQ(media[1].substr(0, media[1].find('\0')), kMediaName);
  // A prefix longer than every name matches none of them.
  std::vector<std::string> none;
  EnumContainers(&none, "\\\\.\\REGISTRY\\b-with-a-much-longer-name-and-more");
  EXPECT_TRUE(none.empty());
}

TEST_F(ContainerTest, CertificateKeptWithTheKeyAndTheOneThatMatchesIt) {
  const test::Issued exchange = User("\\\\.\\REGISTRY\\exchange", "Exchange");
  const test::Issued signature =
      User("\\\\.\\REGISTRY\\signature", "Signature", GostKeyKind::k2012_512, AT_SIGNATURE);
  EXPECT_EQ(GetContainerCertificate("\\\\.\\REGISTRY\\exchange"), exchange.der);
  EXPECT_EQ(GetContainerCertificate("\\\\.\\REGISTRY\\signature"), signature.der);
  EXPECT_EQ(GetContainerCertificate("\\\\.\\REGISTRY\\missing"), "");
  EXPECT_EQ(FindCertificateForContainer("\\\\.\\REGISTRY\\exchange", {"junk", signature.der, exchange.der}),
            exchange.der);
  EXPECT_EQ(FindCertificateForContainer("\\\\.\\REGISTRY\\exchange", {signature.der}), "");
  // Only the exchange key is compared.
  EXPECT_EQ(FindCertificateForContainer("\\\\.\\REGISTRY\\signature", {signature.der}), "");
}

TEST(RemovableFolder, LastPartWithAThreeDigitExtension) {
  EXPECT_EQ(RemovableContainerFolder("\\\\.\\FAT12_A\\keys\\ivanov.000"), "ivanov.000");
  EXPECT_EQ(RemovableContainerFolder("\\\\.\\FAT12_e\\a.001\\b.002\\c"), "b.002");
  EXPECT_EQ(RemovableContainerFolder(std::string("\\\\.\\FAT12_A\\x.000\0FAT12_A\\y.001", 31)), "x.000");
  for (const std::string& name : {std::string("\\\\.\\FAT12_1\\x.000"), std::string("\\\\.\\FAT12_"),
                                  std::string("\\\\.\\FAT12_A\\x.0001\\y.00a\\z.00"), std::string()})
    EXPECT_EQ(RemovableContainerFolder(name), "") << name;
}

TEST_F(ContainerTest, InstallLinksTheExchangeKeyInPlaceOfTheCopyThere) {
  const test::Issued user = User("\\\\.\\REGISTRY\\ivanov", "Иванов", GostKeyKind::k2012_512);
  // A certificate already there without its link, as a person imports one:
  // the linked one takes its place.
  ASSERT_TRUE(CertAddEncodedCertificateToStore(CertOpenSystemStoreA(0, "MY"), X509_ASN_ENCODING, user.der,
                                               CERT_STORE_ADD_NEW, nullptr));
  InstallCertificateForContainer(providers_, "\\\\.\\REGISTRY\\ivanov", user.der);
  InstallCertificateForContainer(providers_, "\\\\.\\REGISTRY\\ivanov", user.der);
  const auto certs = PersonalCerts();
  ASSERT_EQ(certs.size(), 1u);
  for (const PCCERT_CONTEXT& c : certs) {
    const CRYPT_KEY_PROV_INFO info = LinkOf(c);
    EXPECT_EQ(info.pwszContainerName, u"\\\\.\\REGISTRY\\ivanov");
    EXPECT_EQ(info.pwszProvName, Utf16FromUtf8(kCryptoPro2012StrongName));
    EXPECT_EQ(info.dwProvType, PROV_GOST_2012_512);
    EXPECT_EQ(info.dwKeySpec, static_cast<DWORD>(AT_KEYEXCHANGE));
  }
  try {
    InstallCertificateForContainer(providers_, "\\\\.\\REGISTRY\\ivanov", "not a certificate");
    ADD_FAILURE() << "no exception";
  } catch (const EWin32Error& e) {
    EXPECT_NE(e.ErrorCode(), 0u);
    EXPECT_EQ(std::string(e.what()).find(Win32ErrorText(e.ErrorCode())), 0u);
  }
}

TEST_F(ContainerTest, CopyFromMediaToTheRegistrySigns) {
  const test::Issued user = User(kMediaName, "Носитель", GostKeyKind::k2012_256, AT_KEYEXCHANGE, "1234");
  const auto medium_before = Files(root_ / "media");
  test::ScriptedPrompt prompt;
  prompt.pins.push_back("1234");
  ASSERT_TRUE(CopyContainerToRegistry(providers_, kMediaName, user.der, "copied"));
  EXPECT_EQ(prompt.asked, (std::vector<std::string>{"pin:media"}));
  EXPECT_EQ(Files(root_ / "media"), medium_before);
  // The copy holds the key without a PIN, so only its owner may read it.
  const std::string copy = root_ / "machine/keys/copied.000";
  ASSERT_TRUE(fs::is_directory(copy));
  for (const std::string& path : {copy, copy + "/key1.p8", copy + "/key1.cer"}) {
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 077, 0u) << path;
  }
  // With the medium gone the linked certificate signs from the copy, and
  // openssl accepts the signature.
  fs::rename(root_ / "media/USB1", root_ / "unplugged");
  const auto certs = PersonalCerts();
  ASSERT_EQ(certs.size(), 1u);
  EXPECT_EQ(LinkOf(certs[0]).pwszContainerName, u"\\\\.\\REGISTRY\\copied");
  EXPECT_EQ(GetContainerCertificate("\\\\.\\REGISTRY\\copied"), user.der);
  CRYPT_SIGN_MESSAGE_PARA para;
  para.pSigningCert = certs[0];
  para.HashAlgorithm.pszObjId = szOID_CP_GOST_R3411_12_256_R3410;
  para.rgpMsgCert = {certs[0]};
  const Bytes data = "Платёжное поручение № 7";
  Bytes signed_blob;
  ASSERT_TRUE(CryptSignMessage(para, false, {data}, &signed_blob)) << std::hex << GetLastError();
  EXPECT_EQ(prompt.asked.size(), 1u);
  test::WriteFile(root_ / "sig.p7s", signed_blob);
  test::WritePem(root_ / "ca.pem", ca_->der);
  ASSERT_EQ(test::Run("openssl cms -engine gost -verify -binary -inform DER -in " + root_ / "sig.p7s" + " -CAfile " +
                      root_ / "ca.pem" + " -out " + root_ / "out.bin"),
            0);
  EXPECT_EQ(test::ReadFile(root_ / "out.bin"), data);
}

TEST_F(ContainerTest, CopyNeverOverwritesAndLeavesNothingHalfMade) {
  const test::Issued source = User("\\\\.\\REGISTRY\\source", "Source", GostKeyKind::k2012_256, AT_KEYEXCHANGE, "1");
  const test::Issued other = User("\\\\.\\REGISTRY\\taken", "Taken");
  const auto taken_before = Files(root_ / "machine/keys/taken.000");
  test::ScriptedPrompt prompt;  // answers Cancel to the PIN
  EXPECT_FALSE(CopyContainer("\\\\.\\REGISTRY\\source", "\\\\.\\REGISTRY\\taken", source.der));
  EXPECT_EQ(Files(root_ / "machine/keys/taken.000"), taken_before);
  EXPECT_TRUE(prompt.asked.empty()) << "an existing target stops the copy before the key is touched";
  // A key that cannot be read (the PIN refused) fails the copy, and the new
  // container goes again.
  EXPECT_FALSE(CopyContainer("\\\\.\\REGISTRY\\source", "\\\\.\\REGISTRY\\fresh", source.der));
  EXPECT_EQ(prompt.asked, (std::vector<std::string>{"pin:source"}));
  std::vector<std::string> names;
  EnumContainers(&names, "\\\\.\\REGISTRY\\fresh");
  EXPECT_TRUE(names.empty());
  EXPECT_FALSE(fs::exists(root_ / "machine/keys/fresh.000"));
  // A container without keys copies as an empty one.
  HCRYPTPROV empty;
  ASSERT_TRUE(CryptAcquireContextA(&empty, "\\\\.\\REGISTRY\\empty", nullptr, PROV_GOST_2001_DH, CRYPT_NEWKEYSET));
  empty.reset();
  EXPECT_TRUE(CopyContainer("\\\\.\\REGISTRY\\empty", "\\\\.\\REGISTRY\\empty-copy", {}));
  HCRYPTPROV copy;
  ASSERT_TRUE(CryptAcquireContextA(&copy, "\\\\.\\REGISTRY\\empty-copy", nullptr, PROV_GOST_2001_DH, 0));
  HCRYPTKEY key;
  EXPECT_FALSE(CryptGetUserKey(copy, AT_KEYEXCHANGE, &key));
}

TEST_F(ContainerTest, RegistryCopyFollowsTheReaderAndTheVersion) {
  const test::Issued user = User("\\\\.\\REGISTRY\\orig", "Orig");
  EXPECT_TRUE(RegistryReaderConfigured());
  // Without the reader the original container is linked.
  {
    RegistryWriter writer(RegistryFile());
    writer.DeleteKey(kRegistryReaderKeyPath);
    writer.Save();
  }
  EXPECT_FALSE(RegistryReaderConfigured());
  ASSERT_TRUE(CopyContainerToRegistry(providers_, "\\\\.\\REGISTRY\\orig", user.der));
  EXPECT_EQ(LinkOf(PersonalCerts().at(0)).pwszContainerName, u"\\\\.\\REGISTRY\\orig");
  {
    RegistryWriter writer(RegistryFile());
    writer.SetString(kRegistryReaderKeyPath, "Dll", "reader.dll");
    writer.Save();
  }
  EXPECT_TRUE(RegistryReaderConfigured());
  // Under a 2.x CryptoPro the copy takes the short registry form, and the
  // link the 34.10-94 provider; an empty name becomes a fresh unique one.
  {
    RegistryWriter writer(RegistryFile());
    writer.DeleteKey(kProviderKeyPath);
    writer.Save();
    WriteStringToFile(test::VersionRecord(2, 0, 0, 0), root_ / "old.dll");
    writer.SetString(std::string(kProviderKeyPath) + "\\" + kCryptoPro94Name, "Image Path", root_ / "old.dll");
    writer.Save();
    providers_ = ReadProviderState();
    RegisterGostProvider(ZUNTAR_TEST_CSP_MODULE);
  }
  ASSERT_EQ(providers_.crypto_pro_version, "2.0.0.0");
  ASSERT_TRUE(CopyContainerToRegistry(providers_, "\\\\.\\REGISTRY\\orig", user.der));
  ASSERT_EQ(PersonalCerts().size(), 1u);  // linked anew in place
  const CRYPT_KEY_PROV_INFO link = LinkOf(PersonalCerts().at(0));
  const std::string name = Utf8FromUtf16(link.pwszContainerName);
  ASSERT_EQ(name.size(), 10u + 32u) << name;
  EXPECT_EQ(name.substr(0, 10), "REGISTRY\\\\");
  EXPECT_EQ(link.dwProvType, PROV_GOST_94_DH);
  EXPECT_EQ(link.pwszProvName, Utf16FromUtf8(kCryptoPro94Name));
  EXPECT_EQ(GetContainerCertificate(name), user.der);
}

}  // namespace
}  // namespace zuntar
