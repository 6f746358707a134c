#include "platform/user_account.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace zuntar {
namespace {

TEST(UserAccount, NameIsTheEffectiveUsersAccount) {
  const passwd* pw = getpwuid(geteuid());
  ASSERT_NE(pw, nullptr);
  EXPECT_EQ(ProcessUserName(), pw->pw_name);
}

TEST(UserAccount, PriorityClassesMapToNiceValues) {
  const struct {
    unsigned priority_class;
    std::optional<int> nice;
  } cases[] = {
      {64, 19}, {16384, 10}, {32, 0}, {32768, -5}, {128, -10}, {256, -20}, {0, std::nullopt}, {65, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(NiceValueForPriorityClass(c.priority_class), c.nice) << c.priority_class;
  EXPECT_FALSE(SetPriorityClass(12345));
}

TEST(UserAccount, PriorityClassReachesThreadsThatAlreadyRun) {
  // Lowering the priority is always allowed; a thread started before the
  // change must get it too, since the class belongs to the whole process.
  std::atomic<bool> stop{false};
  std::atomic<int> seen{-100};
  std::atomic<bool> changed{false};
  std::thread worker([&] {
    while (!changed) std::this_thread::yield();
    seen = getpriority(PRIO_PROCESS, 0);  // 0: this thread on Linux
    while (!stop) std::this_thread::yield();
  });
  EXPECT_TRUE(SetPriorityClass(kIdlePriorityClass));
  changed = true;
  while (seen == -100) std::this_thread::yield();
  stop = true;
  worker.join();
  EXPECT_EQ(seen, 19);
  EXPECT_EQ(getpriority(PRIO_PROCESS, 0), 19);
}

}  // namespace
}  // namespace zuntar
