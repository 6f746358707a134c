// The embedded engine's private root: the configuration the engine loads
// comes from a folder nobody else can have made or changed.
#include "tasks/firebird_root.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_io.h"
#include "support/private_root.h"

namespace zuntar {
namespace {

using FirebirdRoot = test::PrivateRootTest;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// Another user who makes the root first would write the engine's
// configuration and choose its plugins for this user (root, for the
// service). Such a folder, or one others may enter, is never used.
TEST_F(FirebirdRoot, AFolderPlantedInItsPlaceIsNeverUsed) {
  if (geteuid() != 0) GTEST_SKIP() << "planting another user's folder needs root";
  ASSERT_EQ(mkdir((root_ / "run").c_str(), 0700), 0);
  const std::string planted = PrivateFirebirdRoot();
  const std::string conf = planted + "/firebird.conf";
  ASSERT_EQ(mkdir(planted.c_str(), 0700), 0);
  WriteStringToFile("ServerMode = Super\n", conf);
  ASSERT_EQ(chown(planted.c_str(), 4242, 4242), 0);
  EXPECT_NE(BuildPrivateFirebirdRoot().find("belongs to user 4242"), std::string::npos);

  ASSERT_EQ(chown(planted.c_str(), 0, 0), 0);
  ASSERT_EQ(chmod(planted.c_str(), 0755), 0);
  EXPECT_NE(BuildPrivateFirebirdRoot().find("mode 0755"), std::string::npos);
  EXPECT_EQ(ReadFileToString(conf), "ServerMode = Super\n");
  EXPECT_FALSE(FileExists(planted + "/plugins.conf"));

  // Once it is private, its files are made anew, private too.
  ASSERT_EQ(chmod(planted.c_str(), 0700), 0);
  EXPECT_EQ(BuildPrivateFirebirdRoot(), "");
  EXPECT_NE(ReadFileToString(conf).find("ServerMode = SuperClassic"), std::string::npos);
  EXPECT_EQ(ModeOf(conf) & 07777, 0600u);
  EXPECT_EQ(ModeOf(planted + "/lock") & 07777, 0700u);
  EXPECT_TRUE(S_ISLNK(ModeOf(planted + "/plugins")));
}

}  // namespace
}  // namespace zuntar
