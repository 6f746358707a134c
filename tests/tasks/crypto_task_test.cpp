#include "tasks/crypto_task.h"

#include <gtest/gtest.h>

#include <set>

namespace zuntar {
namespace {

TEST(TaskId, NewIdsAre32LowerHexDigits) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const std::string id = NewTaskId();
    ASSERT_EQ(id.size(), 32u) << id;
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 50u);
}

TEST(TaskId, NewIdPutsTheVersionGroupInTheMiddle) {
  // g5 g4 g3 g2 g1: the version-4 group g3 starts at offset 12 + 4 = 16,
  // the variant group g4 at 12.
  for (int i = 0; i < 20; ++i) {
    const std::string id = NewTaskId();
    EXPECT_EQ(id[16], '4') << id;
    EXPECT_NE(std::string("89ab").find(id[12]), std::string::npos) << id;
  }
}

TEST(TaskId, SuppliedIdsLoseDashesAndCase) {
  EXPECT_EQ(NormalizeTaskId("AB-cd-EF-01"), "abcdef01");
  EXPECT_EQ(NormalizeTaskId("--"), "");
  EXPECT_EQ(NormalizeTaskId("{X}"), "{x}");
}

TEST(CertSn, ColumnRuleAndReadBack) {
  TCryptoTask task;
  EXPECT_FALSE(CertSnColumn(task).has_value());
  task.CertThumb = "AA;BB";
  EXPECT_EQ(CertSnColumn(task), "@AA;BB");
  task.CertSN = "01";
  EXPECT_EQ(CertSnColumn(task), "01");

  ApplyCertSnColumn(task, std::string("AB@CD@"));  // "@" anywhere means thumbprints
  EXPECT_EQ(task.CertSN, "");
  EXPECT_EQ(task.CertThumb, "ABCD");
  ApplyCertSnColumn(task, std::nullopt);
  EXPECT_EQ(task.CertSN, "");
  EXPECT_EQ(task.CertThumb, "");
}

}  // namespace
}  // namespace zuntar
