// Every test runs under a private platform tree with the provider
// registered, so no test reads or writes the machine's real folders.
#include <gtest/gtest.h>

#include <memory>

#include "support/test_pki.h"
#include "support/temp_dir.h"

namespace zuntar {
namespace {

class PrivatePlatformRoot : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = std::make_unique<test::TempDir>();
    root_ = std::make_unique<test::ScopedPlatformRoot>(dir_->path());
  }
  void TearDown() override {
    root_.reset();
    dir_.reset();
  }

 private:
  std::unique_ptr<test::TempDir> dir_;
  std::unique_ptr<test::ScopedPlatformRoot> root_;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new PrivatePlatformRoot);

}  // namespace
}  // namespace zuntar
