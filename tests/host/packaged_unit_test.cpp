// The Debian package ships the service's unit instead of writing it with
// INSTALL. The program decides that it runs as the service by reading that
// unit, and INSTALL after UNINSTALL writes it again, so the shipped unit
// must say exactly what INSTALL would write for the installed executable.
#include <gtest/gtest.h>

#include <string>

#include "host/startup.h"
#include "platform/file_io.h"
#include "platform/service_manager.h"

namespace zuntar {
namespace {

// The unit without its leading comment lines, which say who wrote it.
std::string Body(const std::string& unit) {
  const size_t at = unit.find("[Unit]");
  return at == std::string::npos ? unit : unit.substr(at);
}

TEST(PackagedUnit, SaysWhatInstallWritesForTheInstalledProgram) {
  const std::string shipped = ReadFileToString(ZUNTAR_PACKAGED_UNIT);
  const std::string written =
      FormatServiceUnit(ServiceDefinition{kServiceName, kServiceDisplayName, ZUNTAR_INSTALLED_PLUGIN});
  EXPECT_EQ(Body(shipped), Body(written));
  EXPECT_EQ(shipped.find("User="), std::string::npos) << "the service runs as root, as INSTALL registers it";
}

}  // namespace
}  // namespace zuntar
