// The person's remembered decisions about web sites: one file per user,
// changed by several processes at once.
#include "platform/origin_consent_file.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "platform/exception.h"
#include "platform/file_io.h"
#include "platform/platform_root.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace zuntar {
namespace {

using Entries = std::map<std::string, OriginConsent>;

TEST(OriginConsentFile, RemembersReplacesAndForgets) {
  test::TempDir dir;
  OriginConsentFile file(dir / "user/origin_consent");  // the folder is made when needed
  EXPECT_TRUE(file.Load().empty());
  EXPECT_EQ(file.Find("https://a.example"), std::nullopt);

  file.Remember("https://a.example", OriginConsent::kAllowAlways);
  file.Remember("http://b.example:8080", OriginConsent::kDeny);
  EXPECT_EQ(ReadFileToString(file.file_name()), "deny http://b.example:8080\nalways https://a.example\n");
  // The person's decisions are nobody else's business.
  EXPECT_EQ(std::filesystem::status(file.file_name()).permissions(), std::filesystem::perms::owner_read |
                                                                         std::filesystem::perms::owner_write);
  EXPECT_EQ(std::filesystem::status(dir / "user").permissions(), std::filesystem::perms::owner_all);
  file.Remember("https://a.example", OriginConsent::kDeny);
  EXPECT_EQ(file.Load(), (Entries{{"http://b.example:8080", OriginConsent::kDeny},
                                  {"https://a.example", OriginConsent::kDeny}}));

  // Another object on the same file (another process, the settings window)
  // sees the same decisions.
  OriginConsentFile other(file.file_name());
  EXPECT_TRUE(other.Forget("https://a.example"));
  EXPECT_FALSE(other.Forget("https://a.example"));
  EXPECT_EQ(file.Find("https://a.example"), std::nullopt);
  EXPECT_EQ(file.Find("http://b.example:8080"), OriginConsent::kDeny);
  // No temporary file is left behind.
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir / "user")) files += entry.is_regular_file();
  EXPECT_EQ(files, 2);  // the list and its lock
}

TEST(OriginConsentFile, RefusesWhatCannotBeStoredAndSkipsDamagedLines) {
  test::TempDir dir;
  OriginConsentFile file(dir / "origin_consent");
  EXPECT_THROW(file.Remember("https://a.example", OriginConsent::kAllowOnce), std::invalid_argument);
  EXPECT_THROW(file.Remember("https://a.example", OriginConsent::kNoAnswer), std::invalid_argument);
  EXPECT_THROW(file.Remember("", OriginConsent::kDeny), std::invalid_argument);
  EXPECT_THROW(file.Remember("https://a.example\nalways https://evil.example", OriginConsent::kDeny),
               std::invalid_argument);
  EXPECT_THROW(file.Remember("https://a.example x", OriginConsent::kDeny), std::invalid_argument);
  EXPECT_FALSE(FileExists(file.file_name()));

  WriteStringToFile("always https://a.example\r\nmaybe https://b.example\ngarbage\ndeny \n\ndeny https://c.example",
                    file.file_name());
  EXPECT_EQ(file.Load(), (Entries{{"https://a.example", OriginConsent::kAllowAlways},
                                  {"https://c.example", OriginConsent::kDeny}}));
  // A change keeps the decisions it could read.
  file.Remember("https://d.example", OriginConsent::kAllowAlways);
  EXPECT_EQ(file.Load().size(), 3u);
}

TEST(OriginConsentFile, ConcurrentWritersInSeveralProcessesLoseNothing) {
  test::TempDir dir;
  const std::string name = dir / "origin_consent";
  constexpr int kProcesses = 4, kEach = 25;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int code = 0;
      try {
        OriginConsentFile file(name);
        for (int i = 0; i < kEach; ++i) {
          const std::string origin = "https://p" + std::to_string(p) + "-" + std::to_string(i) + ".example";
          file.Remember(origin, i % 2 ? OriginConsent::kDeny : OriginConsent::kAllowAlways);
          // A reader between the writers always sees a whole list.
          if (!file.Find(origin)) code = 2;
        }
      } catch (...) {
        code = 1;
      }
      _exit(code);
    }
    children.push_back(child);
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  const Entries entries = OriginConsentFile(name).Load();
  EXPECT_EQ(entries.size(), static_cast<size_t>(kProcesses * kEach));
  EXPECT_EQ(entries.at("https://p3-24.example"), OriginConsent::kAllowAlways);
  EXPECT_EQ(entries.at("https://p0-1.example"), OriginConsent::kDeny);
}

TEST(OriginConsentFile, LivesInTheUsersDataFolder) {
  test::TempDir root;
  test::ScopedEnv env("ZUNTAR_PLATFORM_ROOT", root.path());
  EXPECT_EQ(OriginConsentFile::DefaultFileName(), UserDir() + "/origin_consent");
  EXPECT_EQ(OriginConsentFile().file_name(), root / "user/origin_consent");
}

}  // namespace
}  // namespace zuntar
