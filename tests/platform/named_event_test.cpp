#include "platform/named_event.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/private_root.h"

namespace zuntar {
namespace {

using namespace std::chrono_literals;

constexpr char kEventName[] = "Global\\MervoPluginNewTask";

// Each test gets its own platform root and with it its own event object.
class NamedEventTest : public test::PrivateRootTest {
 protected:
  void TearDown() override {
    NamedEvent::Remove(kEventName);
    PrivateRootTest::TearDown();
  }

  // Waits at most `limit` for the child to end; its exit code, or -1.
  static int Reap(pid_t child, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (std::chrono::steady_clock::now() < until) {
      if (waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      std::this_thread::sleep_for(5ms);
    }
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return -1;
  }
};

TEST_F(NamedEventTest, ShmNameIsValidAndFollowsTheNamespace) {
  const std::string global = NamedEventShmName(kEventName);
  EXPECT_EQ(global.front(), '/');
  EXPECT_EQ(global.find('/', 1), std::string::npos);
  EXPECT_NE(global.find(".global-u" + std::to_string(geteuid()) + ".MervoPluginNewTask"), std::string::npos);
  EXPECT_EQ(NamedEventShmName("global\\MervoPluginNewTask"), global);
  EXPECT_NE(NamedEventShmName("Local\\MervoPluginNewTask"), global);
  unsetenv("ZUNTAR_PLATFORM_ROOT");
  EXPECT_NE(NamedEventShmName(kEventName), global);  // another root, another object
}

// /dev/shm is open to every user: an object another user made first under
// the event's name is never mapped.
TEST_F(NamedEventTest, AnObjectOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "planting another user's object needs root";
  const int fd = shm_open(NamedEventShmName(kEventName).c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(fchown(fd, 4242, 4242), 0);
  close(fd);
  EXPECT_THROW(NamedEvent event(kEventName), ENamedEventError);
}

TEST_F(NamedEventTest, PulseWithNoWaiterIsLost) {
  NamedEvent event(kEventName);
  event.Pulse();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(event.Wait(50ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
  EXPECT_FALSE(event.Wait(0ms));
}

TEST_F(NamedEventTest, PulseAfterTheGenerationWasReadIsNotLost) {
  NamedEvent event(kEventName);
  const uint32_t seen = event.Generation();
  event.Pulse();  // between a waiter's own checks and its wait
  EXPECT_TRUE(event.WaitSince(seen, 5s));
  EXPECT_FALSE(event.WaitSince(event.Generation(), 20ms));
}

TEST_F(NamedEventTest, PulseWakesEveryWaiterInThisProcess) {
  NamedEvent event(kEventName);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      NamedEvent own(kEventName);  // a handle of its own, as another module would open
      if (own.Wait(5000ms)) ++woken;
    });
  // Pulse until all have woken: a pulse sent before a thread waits is lost.
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (woken < 3 && std::chrono::steady_clock::now() < until) {
    event.Pulse();
    std::this_thread::sleep_for(5ms);
  }
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken, 3);
}

TEST_F(NamedEventTest, ChildSeesThePulseOfItsParent) {
  NamedEvent event(kEventName);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    NamedEvent own(kEventName);
    _exit(own.Wait(5000ms) ? 0 : 1);
  }
  int code = -1;
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < until) {
    event.Pulse();
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) {
      code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    std::this_thread::sleep_for(5ms);
  }
  if (code == -1) code = Reap(child, 10ms);
  EXPECT_EQ(code, 0);
}

TEST_F(NamedEventTest, ParentSeesThePulseOfItsChild) {
  NamedEvent event(kEventName);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    NamedEvent own(kEventName);
    for (int i = 0; i < 1000; ++i) {  // at most 5 s; the parent ends it sooner
      own.Pulse();
      usleep(5000);
    }
    _exit(0);
  }
  EXPECT_TRUE(event.Wait(5000ms));
  kill(child, SIGKILL);
  Reap(child, 1000ms);
}

TEST_F(NamedEventTest, WaiterKilledWhileWaitingLeavesTheEventUsable) {
  NamedEvent event(kEventName);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    NamedEvent own(kEventName);
    own.Wait(NamedEvent::kInfinite);
    _exit(0);
  }
  std::this_thread::sleep_for(50ms);
  kill(child, SIGKILL);
  Reap(child, 1000ms);
  std::thread waiter([] { NamedEvent own(kEventName); EXPECT_TRUE(own.Wait(5000ms)); });
  const auto until = std::chrono::steady_clock::now() + 5s;
  std::atomic<bool> done{false};
  std::thread pulser([&] {
    while (!done && std::chrono::steady_clock::now() < until) {
      event.Pulse();
      std::this_thread::sleep_for(5ms);
    }
  });
  waiter.join();
  done = true;
  pulser.join();
}

}  // namespace
}  // namespace zuntar
