// A test fixture whose tests see a private platform tree: every stand-in
// file and folder lives under a fresh temporary ZUNTAR_PLATFORM_ROOT.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include "support/temp_dir.h"

namespace zuntar::test {

class PrivateRootTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("ZUNTAR_PLATFORM_ROOT", root_.path().c_str(), 1); }
  void TearDown() override { unsetenv("ZUNTAR_PLATFORM_ROOT"); }
  TempDir root_;
};

}  // namespace zuntar::test
