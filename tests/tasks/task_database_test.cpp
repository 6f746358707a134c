#include "tasks/task_database.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/file_io.h"
#include "platform/process.h"
#include "task_db_fixture.h"
#include "tasks/ib_error.h"

namespace zuntar {
namespace {

using test::TaskDbTest;

TEST_F(TaskDbTest, ExistingDatabaseIsLeftUntouched) {
  dm_->SaveTask(Task("keep"), kTaskStatusNew);
  dm_.reset();
  const std::string before = ReadFileToString(DbPath());
  EXPECT_EQ(CreateTaskDatabase(settings_.Get()), CreateDatabaseResult::kAlreadyExists);
  EXPECT_EQ(ReadFileToString(DbPath()), before);
  EXPECT_EQ(Column("keep", "ID"), "keep");
}

TEST_F(TaskDbTest, AnyFileAtThePathIsLeftUntouched) {
  const std::string other = dir_ / "not-a-database";
  WriteStringToFile("hello", other);
  EXPECT_EQ(CreateTaskDatabase(other, "SYSDBA", "m"), CreateDatabaseResult::kAlreadyExists);
  EXPECT_EQ(ReadFileToString(other), "hello");
}

TEST_F(TaskDbTest, SchemaHasTheKeyAndTheStartTimeIndexes) {
  auto q = dm_->NewQuery(false);
  q->SetSql(
      "select trim(s.RDB$FIELD_NAME) from RDB$INDICES i join RDB$INDEX_SEGMENTS s on s.RDB$INDEX_NAME = "
      "i.RDB$INDEX_NAME where i.RDB$RELATION_NAME = 'CRYPTO_TASKS' order by 1");
  q->ExecQuery();
  std::vector<std::string> fields;
  while (q->Next()) fields.push_back(q->Field(0).AsString());
  EXPECT_EQ(fields, (std::vector<std::string>{"ID", "START_TIME", "START_TIME"}));

  dm_->SaveTask(Task("dup"), kTaskStatusNew);
  auto insert = dm_->NewQuery(true);
  insert->SetSql("insert into CRYPTO_TASKS (ID,TTYPE,START_TIME,STATUS) values ('dup',0,'NOW',0)");
  dm_->StartTran(true);
  EXPECT_THROW(insert->ExecQuery(), EIBInterBaseError);  // same ID again
}

TEST_F(TaskDbTest, ForcedWritesAreOnWithTheLargestPages) {
  EXPECT_TRUE(dm_->IB.ForcedWrites());
  EXPECT_EQ(dm_->IB.PageSize(), 16384);
}

TEST(TaskDatabase, ServerPathsAreRecognised) {
  EXPECT_TRUE(IsServerPath("localhost:/var/db/tasks.fdb"));
  EXPECT_TRUE(IsServerPath("db.example/3050:/data/tasks.fdb"));
  EXPECT_FALSE(IsServerPath("/var/db/tasks.fdb"));
  EXPECT_FALSE(IsServerPath("/var/db:x/tasks.fdb"));
  EXPECT_FALSE(IsServerPath("tasks.fdb"));
}

TEST_F(TaskDbTest, TwoProcessesShareOneDatabaseFile) {
  dm_->SaveTask(Task("parent"), kTaskStatusNew);
  dm_->CommitAll();
  ASSERT_TRUE(dm_->IB.Connected());  // our connection stays open meanwhile

  const std::string helper = ExecutableDir() + "tasks_share_helper";  // built beside the tests
  ASSERT_TRUE(FileExists(helper)) << helper;
  const int rc = RunProcess("\"" + helper + "\" \"" + DbPath() + "\" parent child", "");
  EXPECT_EQ(rc, 42);

  std::string text;
  EXPECT_EQ(dm_->GetTaskStatus("child", text), kTaskStatusNew) << text;
  EXPECT_EQ(Column("child", "IN_DATA"), "from the helper");
}

}  // namespace
}  // namespace zuntar
