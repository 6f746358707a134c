#include "platform/named_mutex.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "platform/file_io.h"
#include "platform/object_name.h"
#include "support/private_root.h"

namespace zuntar {
namespace {

using NamedMutexTest = test::PrivateRootTest;

TEST_F(NamedMutexTest, SecondHolderOfTheSameNameIsRefusedUntilTheFirstEnds) {
  {
    NamedMutex first("ZuntarMervoPlugin");
    ASSERT_EQ(first.result(), NamedMutex::Result::kCreated);
    EXPECT_EQ(first.file_name(), root_ / "run/ZuntarMervoPlugin.lock");
    NamedMutex second("ZuntarMervoPlugin");
    EXPECT_EQ(second.result(), NamedMutex::Result::kAlreadyExists);
    NamedMutex other("ZuntarMervoPlugin_two");  // another instance name
    EXPECT_EQ(other.result(), NamedMutex::Result::kCreated);
  }
  NamedMutex again("ZuntarMervoPlugin");
  EXPECT_EQ(again.result(), NamedMutex::Result::kCreated);
}

TEST_F(NamedMutexTest, LockOfAProcessThatDiedIsFree) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    NamedMutex held("Crashy");
    _exit(held.result() == NamedMutex::Result::kCreated ? 0 : 1);  // no destructor runs
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(NamedMutex("Crashy").result(), NamedMutex::Result::kCreated);
}

TEST_F(NamedMutexTest, NamesWithPathCharactersStayInTheRuntimeFolder) {
  NamedMutex m("ZuntarMervoPlugin_../a/b\\c");
  ASSERT_EQ(m.result(), NamedMutex::Result::kCreated);
  EXPECT_EQ(m.file_name(), root_ / "run/ZuntarMervoPlugin_..%2Fa%2Fb%5Cc.lock");
}

// The run-time folder is used only when it is the user's own and closed to
// others: one that another user made first, or that others may enter, holds
// no lock (the program then runs without one). The lock file is private
// and names its holder, for whoever must stop it.
TEST_F(NamedMutexTest, OnlyAPrivateRunTimeFolderOfTheUsersOwnIsUsed) {
  if (geteuid() != 0) GTEST_SKIP() << "planting another user's folder needs root";
  const std::string run = root_ / "run";
  ASSERT_EQ(mkdir(run.c_str(), 0755), 0);
  NamedMutex loose("ZuntarMervoPlugin");
  EXPECT_EQ(loose.result(), NamedMutex::Result::kFailed);
  EXPECT_NE(loose.problem().find("0755"), std::string::npos) << loose.problem();

  ASSERT_EQ(chmod(run.c_str(), 0700), 0);
  ASSERT_EQ(chown(run.c_str(), 4242, 4242), 0);
  NamedMutex planted("ZuntarMervoPlugin");
  EXPECT_EQ(planted.result(), NamedMutex::Result::kFailed);
  EXPECT_NE(planted.problem().find("4242"), std::string::npos) << planted.problem();
  EXPECT_FALSE(FileExists(planted.file_name()));

  ASSERT_EQ(chown(run.c_str(), 0, 0), 0);
  NamedMutex held("ZuntarMervoPlugin");
  ASSERT_EQ(held.result(), NamedMutex::Result::kCreated) << held.problem();
  struct stat st {};
  ASSERT_EQ(stat(held.file_name().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::ifstream lock(held.file_name());  // not ReadFileToString: its shared flock would wait for ours
  std::string pid;
  std::getline(lock, pid);
  EXPECT_EQ(pid, std::to_string(getpid()));
}

TEST(ObjectName, EscapingKeepsNamesApart) {
  EXPECT_EQ(EscapeObjectName("Plain_Name-1.0"), "Plain_Name-1.0");
  EXPECT_NE(EscapeObjectName("a/b"), EscapeObjectName("a_b"));
  EXPECT_NE(EscapeObjectName("a b"), EscapeObjectName("a%20b"));
  EXPECT_EQ(EscapeObjectName(".."), "%2E.");
  EXPECT_EQ(EscapeObjectName("Имя").find_first_not_of("%0123456789ABCDEF"), std::string::npos);
  const std::string long_a = EscapeObjectName(std::string(300, 'a'));
  const std::string long_b = EscapeObjectName(std::string(299, 'a') + "b");
  EXPECT_LE(long_a.size(), 200u);
  EXPECT_NE(long_a, long_b);
}

}  // namespace
}  // namespace zuntar
