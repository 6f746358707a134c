// The provider comes from the module registered in the registry stand-in.
#include <gtest/gtest.h>

#include "platform/capi/api/crypt_api.h"
#include "platform/capi/api/provider_registration.h"
#include "platform/capi/base/error_codes.h"
#include "platform/file_version.h"
#include "platform/platform_root.h"
#include "platform/registry_writer.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"

namespace zuntar {
namespace {

TEST(ProviderModule, HasAVersionRecordOfTheCurrentGeneration) {
  const std::string version = FileVersionText(ZUNTAR_TEST_CSP_MODULE);
  ASSERT_FALSE(version.empty());
  EXPECT_EQ(std::string("123").find(version[0]), std::string::npos) << version;
}

TEST(ProviderModule, AnsweredForEveryRegisteredNameAndType) {
  for (DWORD type : {PROV_GOST_2001_DH, PROV_GOST_2012_256, PROV_GOST_2012_512}) {
    HCRYPTPROV prov;
    ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, type, CRYPT_VERIFYCONTEXT)) << type;
  }
  HCRYPTPROV prov;
  ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, "Crypto-Pro GOST R 34.10-2012 Strong Cryptographic Service Provider",
                                   PROV_GOST_2012_512, CRYPT_VERIFYCONTEXT));
  EXPECT_FALSE(CryptAcquireContextA(&prov, nullptr, "Crypto-Pro GOST R 34.10-2012 Strong Cryptographic Service Provider",
                                    PROV_GOST_2012_256, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(GetLastError(), NTE_PROV_TYPE_NO_MATCH);
  EXPECT_FALSE(CryptAcquireContextA(&prov, nullptr, "Infotecs Cryptographic Service Provider", 2, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(GetLastError(), NTE_KEYSET_NOT_DEF);
}

TEST(ProviderModule, AMachineWithoutRegistrationHasNoProvider) {
  test::TempDir dir;
  test::ScopedPlatformRoot root(dir.path(), /*register_provider=*/false);
  HCRYPTPROV prov;
  EXPECT_FALSE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_GOST_2012_256, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(GetLastError(), NTE_PROV_TYPE_NOT_DEF);

  RegistryWriter writer(RegistryFile());
  writer.SetString(std::string(kProviderKeyPath) + "\\Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider",
                   "Image Path", dir.path() + "missing.so");
  writer.SetDword(std::string(kProviderKeyPath) + "\\Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider",
                  "Type", PROV_GOST_2012_256);
  writer.Save();
  EXPECT_FALSE(CryptAcquireContextA(&prov, nullptr, "Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider",
                                    PROV_GOST_2012_256, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(GetLastError(), NTE_PROV_DLL_NOT_FOUND);
}

}  // namespace
}  // namespace zuntar
