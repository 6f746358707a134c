// The crypto checks of Start over registry files and provider modules
// written by each test.
#include "host/start_checks.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "certs/provider_detection.h"
#include "core/process_values.h"
#include "core/utf.h"
#include "crypto/cert_manager_instance.h"
#include "platform/capi/api/provider_registration.h"
#include "platform/file_io.h"
#include "platform/platform_root.h"
#include "platform/registry_writer.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "support/version_record.h"

namespace zuntar {
namespace {

class StartChecks : public ::testing::Test {
 protected:
  void SetUp() override { SetStartupValues(BasicStartupValues(dir_.path())); }
  void TearDown() override {
    std::remove(RegistryFile().c_str());
    SetCSPStatus("");
  }

  // A provider name registered with a module file of that version (a file
  // that cannot be loaded, so it cannot be asked for its self test).
  void Register(const std::string& name, uint16_t major) {
    const std::string module = dir_ / (std::to_string(major) + ".dll");
    WriteStringToFile(std::string(300, 'x') + test::VersionRecord(major, 0, 1, 2), module);
    RegistryWriter writer(RegistryFile());
    writer.SetString(std::string(kProviderKeyPath) + "\\" + name, "Image Path", module);
    writer.Save();
  }

  std::string Check() {
    CheckCryptoProvider(managers_);
    return CSPStatus();
  }

  test::TempDir dir_;
  test::ScopedEnv root_{"ZUNTAR_PLATFORM_ROOT", dir_.path()};
  SharedCertManager managers_;
};

TEST_F(StartChecks, NoProviderClearsTheManagerAndLogsTheReason) {
  CreateStartCertificateManager(managers_, ReadProviderState());
  ASSERT_NE(managers_.Get(), nullptr);
  EXPECT_EQ(Check(), "CSP_NOT_EXIST");
  EXPECT_EQ(managers_.Get(), nullptr);
  const std::string log = ReadFileToString(LogFileName());
  EXPECT_NE(log.find("ERROR " + AnsiFromUtf8("Не обнаружена установка СКЗИ, поддерживающая ГОСТ алгоритмы ЭП и "
                                             "шифрования!") + "\r\n"),
            std::string::npos)
      << log;
  // Start goes on: the manager is made all the same.
  CreateStartCertificateManager(managers_, ReadProviderState());
  EXPECT_NE(managers_.Get(), nullptr);
  EXPECT_EQ(CSPStatus(), "CSP_NOT_EXIST");
}

TEST_F(StartChecks, VersionsAndTheSelfTestDecideTheStatus) {
  Register(kViPNetName, 3);
  EXPECT_EQ(Check(), "CSP_OLD_VERSION");
  Register(kViPNetName, 4);
  EXPECT_EQ(Check(), "") << "a later check forgets the earlier outcome";
  Register(kCryptoPro2001Name, 3);
  EXPECT_EQ(Check(), "CSP_OLD_VERSION");
  // A newer CryptoPro whose module cannot run its self test.
  Register(kCryptoPro2001Name, 5);
  EXPECT_EQ(Check(), "CSP_SELF_TEST_FAILED");
  RegisterGostProvider(ZUNTAR_TEST_CSP_MODULE);
  EXPECT_EQ(Check(), "");
}

}  // namespace
}  // namespace zuntar
