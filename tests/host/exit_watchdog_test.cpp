#include "host/exit_watchdog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

namespace zuntar {
namespace {

using namespace std::chrono_literals;

TEST(ExitWatchdog, EndsAProcessWhoseOrderlyEndHangs) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ArmExitWatchdog(50ms);
        std::this_thread::sleep_for(30s);  // the end that hangs
        std::_Exit(3);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ExitWatchdog, AProcessThatEndsInTimeEndsItsOwnWay) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ArmExitWatchdog(30s);
        std::_Exit(3);
      },
      ::testing::ExitedWithCode(3), "");
}

}  // namespace
}  // namespace zuntar
