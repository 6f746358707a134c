#include "platform/named_mutex.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

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
