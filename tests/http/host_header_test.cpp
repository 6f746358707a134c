#include "http/host_header.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace zuntar {
namespace {

TEST(HostHeader, OnlyNamesOfThisMachinePass) {
  TMachineNames machine;
  struct Case {
    const char* host;
    bool local_peer_passes;
  };
  const Case cases[] = {
      {"localhost", true},
      {"LocalHost.", true},
      {"localhost:18080", true},
      {"localhost:", false},
      {"localhost:abc", false},
      {"localhost:65536", false},
      {"localhost:80:80", false},
      {"127.0.0.1", true},
      {"127.0.0.1.", true},
      {"127.9.8.7:1", true},
      {"127.0.0.1.evil.example", false},
      {"127.1", false},
      {"0x7f.0.0.1", false},
      {"0.0.0.0", false},
      {"[::1]", true},
      {"[::1]:18080", true},
      {"[0:0:0:0:0:0:0:1]", true},
      {"[::ffff:127.0.0.1]", true},
      {"::1", false},
      {"[::1", false},
      {"[::1]x", false},
      {"[127.0.0.1]", false},
      {"rebind.attacker.example", false},
      {"localhost.attacker.example", false},
      {"user@localhost", false},
      {"", false},
      {"localhost, localhost", false},  // two Host headers
  };
  for (const Case& c : cases)
    EXPECT_EQ(HostNamesThisMachine(c.host, true, "127.0.0.1", machine), c.local_peer_passes) << c.host;
}

TEST(HostHeader, APeerOnTheNetworkMayNameTheMachine) {
  TMachineNames machine;
  char name[256] = {};
  ASSERT_EQ(::gethostname(name, sizeof name - 1), 0);
  const std::string host_name = name;
  if (host_name != "localhost") {
    EXPECT_FALSE(HostNamesThisMachine(host_name, true, "127.0.0.1", machine));
  }
  EXPECT_TRUE(HostNamesThisMachine(host_name + ".:18080", false, "203.0.113.1", machine));
  EXPECT_TRUE(HostNamesThisMachine("203.0.113.1:18080", false, "203.0.113.1", machine));  // the address it reached
  EXPECT_TRUE(HostNamesThisMachine("localhost", false, "203.0.113.1", machine));
  EXPECT_FALSE(HostNamesThisMachine("203.0.113.2", false, "203.0.113.1", machine));
  EXPECT_FALSE(HostNamesThisMachine(host_name + ".attacker.example", false, "203.0.113.1", machine));
}

}  // namespace
}  // namespace zuntar
