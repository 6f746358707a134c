// Provider detection over registry files and module files written by each
// test, the provider choice for a certificate and the self test.
#include "certs/provider_detection.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>

#include "platform/capi/api/provider_registration.h"
#include "platform/file_io.h"
#include "platform/platform_root.h"
#include "platform/registry_writer.h"
#include "support/private_root.h"
#include "support/test_pki.h"
#include "support/version_record.h"

namespace zuntar {
namespace {

class DetectionTest : public test::PrivateRootTest {
 protected:
  void SetUp() override {
    test::PrivateRootTest::SetUp();
    writer_.emplace(RegistryFile());
  }
  void TearDown() override {
    // The next test starts from the state of a machine without providers.
    std::remove(RegistryFile().c_str());
    test::PrivateRootTest::TearDown();
  }

  // A module file with a version record (none when `version` is empty).
  std::string Module(const std::string& file, const std::vector<uint16_t>& version) {
    const std::string path = root_ / file;
    std::string bytes(300, 'x');
    if (!version.empty()) bytes += test::VersionRecord(version[0], version[1], version[2], version[3]);
    WriteStringToFile(bytes + "tail", path);
    return path;
  }

  // Registers a provider name with a module path, in the order of the calls.
  void Register(const std::string& name, const std::string& module) {
    writer_->SetString(std::string(kProviderKeyPath) + "\\" + name, "Image Path", module);
    writer_->Save();
  }

  ProviderState Detect() { return ReadProviderState(); }

  std::optional<RegistryWriter> writer_;
};

TEST_F(DetectionTest, NothingRegisteredMeansNoProvider) {
  const ProviderState s = Detect();
  EXPECT_FALSE(s.crypto_pro_installed);
  EXPECT_FALSE(s.vipnet_installed);
  EXPECT_EQ(s.crypto_pro_version, "?");
  EXPECT_EQ(s.vipnet_version, "?");
  for (int kind : {0, kProviderCryptoPro, 2, kProviderViPNet, 4}) EXPECT_FALSE(s.Installed(kind)) << kind;
}

TEST_F(DetectionTest, MissingModuleOrVersionRecord) {
  // A registered name whose module file is gone counts as absent.
  Register(kCryptoPro2001Name, root_ / "gone.dll");
  Register(kViPNetName, "");
  ProviderState s = Detect();
  EXPECT_FALSE(s.crypto_pro_installed);
  EXPECT_FALSE(s.vipnet_installed);
  EXPECT_EQ(s.crypto_pro_version, "?");
  // A module without a version record is installed, but kind 1 asks for the
  // version and so is not.
  Register(kCryptoPro2012Name, Module("cpcsp.dll", {}));
  s = Detect();
  EXPECT_TRUE(s.crypto_pro_installed);
  EXPECT_EQ(s.crypto_pro_version, "?");
  EXPECT_FALSE(s.Installed(kProviderCryptoPro));
}

TEST_F(DetectionTest, NewerMajorVersionWinsWhateverTheOrder) {
  struct Case {
    std::vector<uint16_t> first, second;
    std::string expected;
  };
  const Case cases[] = {
      {{4, 0, 1, 0}, {5, 0, 1, 0}, "5.0.1.0"},
      {{5, 0, 1, 0}, {4, 0, 1, 0}, "5.0.1.0"},
      // Within one major version the first module found stays.
      {{4, 0, 1, 0}, {4, 0, 2, 0}, "4.0.1.0"},
      // Two-digit major versions compare as numbers, not by first character.
      {{9, 0, 1, 0}, {10, 0, 1, 0}, "10.0.1.0"},
      {{10, 0, 1, 0}, {9, 0, 1, 0}, "10.0.1.0"},
      {{10, 0, 1, 0}, {5, 0, 1, 0}, "10.0.1.0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    writer_->DeleteKey(kProviderKeyPath);
    Register(kCryptoPro2001Name, Module("a.dll", c.first));
    Register(kCryptoPro2012StrongName, Module("b.dll", c.second));
    const ProviderState s = Detect();
    EXPECT_EQ(s.crypto_pro_version, c.expected);
    EXPECT_TRUE(s.Installed(kProviderCryptoPro));
  }
}

TEST_F(DetectionTest, ProviderNamesAndTheirCase) {
  // Known names compare without regard to case; the 2012 prefix with it.
  Register("INFOTECS CRYPTOGRAPHIC SERVICE PROVIDER", Module("vipnet.dll", {4, 2, 0, 0}));
  Register("crypto-pro gost r 34.10-2012 something else", Module("lower.dll", {5, 0, 0, 0}));
  Register("Microsoft Enhanced Cryptographic Provider v1.0", Module("rsa.dll", {10, 0, 0, 0}));
  ProviderState s = Detect();
  EXPECT_TRUE(s.vipnet_installed);
  EXPECT_EQ(s.vipnet_version, "4.2.0.0");
  EXPECT_TRUE(s.Installed(kProviderViPNet));
  EXPECT_FALSE(s.crypto_pro_installed);
  Register("Crypto-Pro GOST R 34.10-2012 KC2 Provider", Module("kc2.dll", {5, 0, 0, 0}));
  Register("CRYPTO-PRO GOST R 34.10-94 CRYPTOGRAPHIC SERVICE PROVIDER", Module("old.dll", {4, 0, 0, 0}));
  s = Detect();
  EXPECT_TRUE(s.crypto_pro_installed);
  EXPECT_EQ(s.crypto_pro_version, "5.0.0.0");
}

TEST_F(DetectionTest, ProductSettingRaisesAThreeVersionWithA2012Provider) {
  writer_->SetString(kCryptoProSettingsKeyPath, "Version", "5.0.11455");
  Register(kCryptoPro2001Name, Module("cp2001.dll", {3, 9, 8, 0}));
  // Without a 2012 provider the setting is not read.
  EXPECT_EQ(Detect().crypto_pro_version, "3.9.8.0");
  Register(kCryptoPro2012Name, Module("cp2012.dll", {3, 9, 8, 0}));
  EXPECT_EQ(Detect().crypto_pro_version, "5.0.11455");
  // A setting of the same or a lower major version, or none, changes nothing.
  writer_->SetString(kCryptoProSettingsKeyPath, "Version", "3.9.9");
  writer_->Save();
  EXPECT_EQ(Detect().crypto_pro_version, "3.9.8.0");
  writer_->DeleteKey(kCryptoProSettingsKeyPath);
  writer_->Save();
  EXPECT_EQ(Detect().crypto_pro_version, "3.9.8.0");
  // Only a 3.x version asks: 4.x stays.
  writer_->SetString(kCryptoProSettingsKeyPath, "Version", "5.0");
  Register(kCryptoPro2012Name, Module("cp2012.dll", {4, 0, 9, 0}));
  Register(kCryptoPro2001Name, Module("cp2001.dll", {4, 0, 9, 0}));
  EXPECT_EQ(Detect().crypto_pro_version, "4.0.9.0");
}

TEST(VersionNumbers, LeadingNumberDecidesWhereThereIsOne) {
  EXPECT_EQ(LeadingVersionNumber("10.0.1.0"), 10);
  EXPECT_EQ(LeadingVersionNumber("4"), 4);
  EXPECT_EQ(LeadingVersionNumber("?"), -1);
  EXPECT_EQ(LeadingVersionNumber(""), -1);
  EXPECT_TRUE(IsNewerMajorVersion("10.0", "9.9"));
  EXPECT_FALSE(IsNewerMajorVersion("4.0.2.0", "4.0.1.0"));
  EXPECT_FALSE(IsNewerMajorVersion("", "4.0"));
  EXPECT_TRUE(IsNewerMajorVersion("b", "a"));
}

class ProviderChoiceTest : public test::PrivateRootTest {};

TEST_F(ProviderChoiceTest, KeyAlgorithmChoosesTheProvider) {
  // The key's own algorithm decides, not the issuer's signature.
  const test::Issued ca256 = test::MakeCa(GostKeyKind::k2012_256);
  const test::Issued ca512 = test::MakeCa(GostKeyKind::k2012_512);
  const Bytes strong_under_256 = test::MakeUser(ca256, "Strong", GostKeyKind::k2012_512).der;
  const Bytes old_under_512 = test::MakeUser(ca512, "Old", GostKeyKind::k2001).der;
  const Bytes plain_under_512 = test::MakeUser(ca512, "Plain", GostKeyKind::k2012_256).der;
  EXPECT_EQ(ProviderForCertificate(strong_under_256).type, PROV_GOST_2012_512);
  EXPECT_EQ(ProviderForCertificate(strong_under_256).name, kCryptoPro2012StrongName);
  EXPECT_EQ(ProviderForCertificate(old_under_512).type, PROV_GOST_2001_DH);
  EXPECT_EQ(ProviderForCertificate(old_under_512).name, kCryptoPro2001Name);
  EXPECT_EQ(ProviderForCertificate(plain_under_512).type, PROV_GOST_2012_256);
  EXPECT_EQ(ProviderForCertificate("not a certificate").type, PROV_GOST_2001_DH);
}

class SelfTestTest : public test::PrivateRootTest {
 protected:
  // Makes the test module the default provider of type 80 under `name`.
  void UseTestModule(const std::string& name) {
    RegistryWriter writer(RegistryFile());
    writer.SetString(std::string(kProviderKeyPath) + "\\" + name, "Image Path", ZUNTAR_TEST_SELFTEST_MODULE);
    writer.SetDword(std::string(kProviderKeyPath) + "\\" + name, "Type", PROV_GOST_2012_256);
    writer.SetString(std::string(kProviderTypesKeyPath) + "\\" + ProviderTypeKeyName(PROV_GOST_2012_256), "Name",
                     name);
    writer.Save();
  }
};

TEST_F(SelfTestTest, ReportsOnlyWhatTheProviderFlagged) {
  std::string message = "left over";
  EXPECT_FALSE(ProviderSelfTest(&message)) << "no provider at all";
  EXPECT_EQ(message, "");
  RegisterGostProvider(ZUNTAR_TEST_CSP_MODULE);
  EXPECT_TRUE(ProviderSelfTest(&message));
  EXPECT_EQ(message, "");
  UseTestModule("Failing Test Provider");
  EXPECT_FALSE(ProviderSelfTest(&message));
  EXPECT_EQ(message, "seft test failed");
  // A block without room for the failure word is no answer.
  UseTestModule("Short Test Provider");
  EXPECT_FALSE(ProviderSelfTest(&message));
  EXPECT_EQ(message, "");
}

}  // namespace
}  // namespace zuntar
