#include "tasks/ib_statement.h"

#include <gtest/gtest.h>

#include "task_db_fixture.h"
#include "tasks/ib_error.h"

namespace zuntar {
namespace {

using test::TaskDbTest;

TEST(IbTimestamp, ProgramDateTimesMapToFirebirdDays) {
  // 1899-12-30 is Firebird day 15018; times count 1/10000 s.
  const ISC_TIMESTAMP zero = ToTimestamp(0.0);
  EXPECT_EQ(zero.timestamp_date, 15018);
  EXPECT_EQ(zero.timestamp_time, 0u);
  const ISC_TIMESTAMP noon = ToTimestamp(46000.5);
  EXPECT_EQ(noon.timestamp_date, 15018 + 46000);
  EXPECT_EQ(noon.timestamp_time, 12u * 3600 * 10000);
  const DateTime t = 46000 + 0.123456789;
  EXPECT_NEAR(FromTimestamp(ToTimestamp(t)), t, 0.5 / kMsPerDay);
}

TEST_F(TaskDbTest, ParametersBindByNameAndKeepTheirType) {
  auto q = dm_->NewQuery(false);
  q->SetSql(
      "select cast(:T as timestamp) as T, cast(:N as integer) + 1 as N, cast(:S as varchar(10)) as S, "
      "cast(:S as varchar(10)) || 'x' as S2, cast(:Z as integer) as Z from RDB$DATABASE");
  const DateTime t = EncodeDateTime({2026, 12, 7, 9, 30, 15, 250});
  q->SetDateTime("t", t);
  q->SetInteger("N", 41);
  q->SetString("s", "abc");
  q->SetNull("Z");
  q->ExecQuery();
  ASSERT_TRUE(q->Next());
  EXPECT_NEAR(q->Field("T").AsDateTime(), t, 0.5 / kMsPerDay);
  EXPECT_EQ(q->Field("n").AsInteger(), 42);
  EXPECT_EQ(q->Field("S").AsString(), "abc");
  EXPECT_EQ(q->Field("S2").AsString(), "abcx");  // one name, two markers
  EXPECT_TRUE(q->Field("Z").IsNull());
  EXPECT_FALSE(q->Next());
  EXPECT_THROW(q->Field("T").AsDateTime(), EIBClientError);  // no current row
  EXPECT_THROW(q->SetString("NOPE", "x"), EIBClientError);
  EXPECT_THROW(q->Field("NOPE"), EIBClientError);
}

TEST_F(TaskDbTest, EmptyAndNullBlobsDiffer) {
  dm_->SaveTask(Task("z", ""), kTaskStatusNew);
  EXPECT_EQ(Column("z", "IN_DATA"), "");
  EXPECT_EQ(Column("z", "OUT_DATA"), "<NULL>");
}

TEST_F(TaskDbTest, StatementNeedsAnActiveTransaction) {
  auto q = dm_->NewQuery(true);
  q->SetSql("select 1 from RDB$DATABASE");
  EXPECT_THROW(q->ExecQuery(), EIBClientError);
  dm_->StartTran(true);
  q->ExecQuery();
  EXPECT_TRUE(q->Next());
  dm_->CommitTran(true);  // closes the cursor with the transaction
  EXPECT_FALSE(q->Next());
}

}  // namespace
}  // namespace zuntar
