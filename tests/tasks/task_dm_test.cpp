#include "tasks/task_dm.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/file_io.h"
#include "task_db_fixture.h"
#include "tasks/ib_error.h"

namespace zuntar {
namespace {

using test::TaskDbTest;

constexpr DateTime kSecond = 1.0 / 86400;
constexpr DateTime kMinute = 60 * kSecond;

std::string AllBytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
  return bytes;
}

TEST_F(TaskDbTest, NewTaskIsPendingAndRoundTripsItsBytes) {
  TCryptoTask task = Task("a1", AllBytes(100000));  // several blob segments
  task.TaskType = kTaskSignHash;
  task.StrParam = "7700000001";
  const DateTime before = Now();
  dm_->SaveTask(task, kTaskStatusNew);

  std::string text = "stale";
  EXPECT_EQ(dm_->GetTaskStatus("a1", text), kTaskStatusNew);
  EXPECT_EQ(text, "");

  // The processing thread's load sees the row as stored.
  const std::vector<TCryptoTask> loaded = dm_->LoadNewTasks(Now() - TASK_LIFETIME, {});
  ASSERT_EQ(loaded.size(), 1u);
  const TCryptoTask& back = loaded[0];
  EXPECT_TRUE(dm_->LoadNewTasks(Now() - TASK_LIFETIME, {"a1"}).empty());
  EXPECT_EQ(back.Id, "a1");
  EXPECT_EQ(back.TaskType, kTaskSignHash);
  EXPECT_EQ(back.InData, task.InData);
  EXPECT_EQ(back.StrParam, "7700000001");
  EXPECT_EQ(back.CertSN, "01AB");
  // 'NOW' on the server is the program's local time.
  EXPECT_GE(back.StartTime, before - kSecond);
  EXPECT_LE(back.StartTime, Now() + kSecond);
}

TEST_F(TaskDbTest, ResubmittingAnIdUpdatesTheRowAndKeepsItsStartTime) {
  dm_->SaveTask(Task("b2", "first"), kTaskStatusNew);
  dm_->SetTaskResult("b2", kTaskStatusSuccess, "signature");
  const DateTime start = Now() - 10 * kMinute;
  SetStartTime("b2", start);

  TCryptoTask again = Task("b2", "second");
  again.TaskType = kTaskDecrypt;
  dm_->SaveTask(again, kTaskStatusWait);

  EXPECT_EQ(Column("b2", "STATUS"), "1");
  EXPECT_EQ(Column("b2", "TTYPE"), "5");
  EXPECT_EQ(Column("b2", "OUT_DATA"), "<NULL>");
  EXPECT_EQ(Column("b2", "IN_DATA"), "second");
  EXPECT_EQ(Column("b2", "iif(MODIFY_TIME is null, 'no', 'yes')"), "yes");
  EXPECT_NEAR(StartTimeOf("b2"), start, 0.5 / 86400000);
  EXPECT_EQ(Column("b2", "count(*)"), "1");
}

TEST_F(TaskDbTest, CertSnStoredAndReadBack) {
  struct Case {
    std::string sn, thumb, column, back_sn, back_thumb;
  };
  const Case cases[] = {
      {"", "", "<NULL>", "", ""},
      {"0A1B", "", "0A1B", "0A1B", ""},
      {"", "FF00", "@FF00", "", "FF00"},
      {"S1", "T1", "S1", "S1", ""},
      {"S1;S2", "", "S1;S2", "S1;S2", ""},
      {"", "T1;T2", "@T1;T2", "", "T1;T2"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.column);
    const std::string id = "c" + std::to_string(n++);
    TCryptoTask task = Task(id);
    task.CertSN = c.sn;
    task.CertThumb = c.thumb;
    dm_->SaveTask(task, kTaskStatusNew);
    EXPECT_EQ(Column(id, "CERT_SN"), c.column);

    auto q = dm_->NewQuery(false);
    q->SetSql("select * from CRYPTO_TASKS where ID=:ID");
    q->SetString("ID", id);
    q->ExecQuery();
    ASSERT_TRUE(q->Next());
    const TCryptoTask back = ReadCryptoTask(*q);
    EXPECT_EQ(back.CertSN, c.back_sn);
    EXPECT_EQ(back.CertThumb, c.back_thumb);
  }
}

TEST_F(TaskDbTest, UnknownIdReadsAsErrorWithTheNotFoundText) {
  std::string text;
  EXPECT_EQ(dm_->GetTaskStatus("nope", text), kTaskStatusError);
  EXPECT_EQ(text,
            "\xCA\xF0\xE8\xEF\xF2\xEE\xE7\xE0\xE4\xE0\xED\xE8\xE5 \xF1 Id=nope "
            "\xED\xE5 \xED\xE0\xE9\xE4\xE5\xED\xEE");
}

TEST_F(TaskDbTest, PendingTaskTimesOutOnlyPastItsLifetime) {
  const std::string timed_out =
      "\xC2\xF0\xE5\xEC\xFF \xEE\xE6\xE8\xE4\xE0\xED\xE8\xFF \xE2\xFB\xEF\xEE\xEB\xED\xE5\xED\xE8\xFF "
      "\xEA\xF0\xE8\xEF\xF2\xEE\xE7\xE0\xE4\xE0\xED\xE8\xFF \xE8\xF1\xF2\xE5\xEA\xEB\xEE";
  for (uint8_t status : {kTaskStatusNew, kTaskStatusWait}) {
    SCOPED_TRACE(int(status));
    const std::string id = "t" + std::to_string(status);
    dm_->SaveTask(Task(id), status);
    std::string text;

    SetStartTime(id, Now() - TASK_LIFETIME + 5 * kSecond);
    EXPECT_EQ(dm_->GetTaskStatus(id, text), status);
    EXPECT_EQ(text, "");

    SetStartTime(id, Now() - TASK_LIFETIME - 1 * kSecond);
    EXPECT_EQ(dm_->GetTaskStatus(id, text), kTaskStatusError);
    EXPECT_EQ(text, timed_out);
    EXPECT_EQ(Column(id, "STATUS"), std::to_string(status));  // the row is not changed
  }
}

TEST_F(TaskDbTest, FinishedTasksAndTasksWithOutputNeverTimeOut) {
  struct Case {
    uint8_t status;
    std::string out;
  };
  for (const Case& c : {Case{kTaskStatusSuccess, "sig"}, Case{kTaskStatusError, "failed"},
                        Case{kTaskStatusSuccess, ""}, Case{kTaskStatusNew, "partial"}}) {
    const std::string id = "f" + std::to_string(c.status) + c.out;
    dm_->SaveTask(Task(id), kTaskStatusNew);
    dm_->SetTaskResult(id, c.status, c.out);
    SetStartTime(id, Now() - 2);
    std::string text = "stale";
    EXPECT_EQ(dm_->GetTaskStatus(id, text), c.status) << id;
    EXPECT_EQ(text, c.out) << id;
  }
}

TEST(TaskLifetime, ExactlyThirtyMinutesIsStillPending) {
  for (DateTime start : {45000.0, 46361.123456, 46361.999}) {
    EXPECT_FALSE(IsPastLifetime(start, start + TASK_LIFETIME)) << start;
    EXPECT_TRUE(IsPastLifetime(start, start + TASK_LIFETIME + 1 / kMsPerDay)) << start;
    EXPECT_FALSE(IsPastLifetime(start, start - 1)) << start;  // clock turned back
  }
}

TEST_F(TaskDbTest, CleanupOnAnEmptyTableDoesNothing) {
  dm_->CleanupTasks();
  EXPECT_EQ(Column("x", "ID"), "<none>");
}

TEST_F(TaskDbTest, CleanupCountsBackFromNowOrTheNewestStartTime) {
  struct Row {
    std::string id;
    double age_days;  // before the cleanup base
    std::string in_data;  // expected afterwards
  };
  auto run = [&](DateTime base, const std::vector<Row>& rows) {
    for (const Row& r : rows) {
      dm_->SaveTask(Task(r.id, "in"), kTaskStatusNew);
      dm_->SetTaskResult(r.id, kTaskStatusSuccess, "out");
      SetStartTime(r.id, base - r.age_days);
    }
    dm_->CleanupTasks();
    for (const Row& r : rows) {
      EXPECT_EQ(Column(r.id, "IN_DATA"), r.in_data) << r.id;
      if (r.in_data != "<none>") {
        EXPECT_EQ(Column(r.id, "OUT_DATA"), r.in_data == "in" ? "out" : "<NULL>") << r.id;
      }
    }
  };
  const DateTime now = Now();
  run(now, {{"n91", 91, "<none>"}, {"n89", 89, "<NULL>"}, {"n31", 31, "<NULL>"}, {"n29", 29, "in"},
            {"n0", 0, "in"}});

  // A START_TIME in the future becomes the base.
  const DateTime future = now + 100;
  run(future, {{"f0", 0, "in"}, {"f20", 20, "in"}, {"f80", 80, "<NULL>"}, {"f100", 100, "<none>"}});
}

TEST_F(TaskDbTest, ConcurrentUpdateIsALockConflict) {
  dm_->SaveTask(Task("l1"), kTaskStatusNew);
  auto holder = CreateTaskDM(settings_.Get());
  auto q = holder->NewQuery(true);
  holder->StartTran(true);
  q->SetSql("update CRYPTO_TASKS set STATUS=1 where ID=:ID");
  q->SetString("ID", "l1");
  q->ExecQuery();  // row locked until the commit

  try {
    dm_->SetTaskResult("l1", kTaskStatusSuccess, "r");
    FAIL() << "no conflict";
  } catch (const EIBInterBaseError& e) {
    EXPECT_TRUE(IsLockConflict(e)) << e.IBErrorCode() << " " << e.what();
    EXPECT_STREQ(e.ClassName(), "EIBInterBaseError");
  }
  holder->CommitTran(true);
  dm_->SetTaskResult("l1", kTaskStatusSuccess, "r");  // the retry goes through
  std::string text;
  EXPECT_EQ(dm_->GetTaskStatus("l1", text), kTaskStatusSuccess);
  EXPECT_EQ(text, "r");
}

TEST_F(TaskDbTest, OnlyLockErrorsAreLockConflicts) {
  EXPECT_FALSE(IsLockConflict(std::runtime_error("deadlock")));
  EXPECT_FALSE(IsLockConflict(EIBClientError("lock conflict")));
  auto q = dm_->NewQuery(false);
  q->SetSql("select * from NO_SUCH_TABLE");
  try {
    q->ExecQuery();
    FAIL() << "no error";
  } catch (const EIBInterBaseError& e) {
    EXPECT_FALSE(IsLockConflict(e));
    EXPECT_EQ(e.SQLCode(), -204);
    EXPECT_NE(std::string(e.what()).find("NO_SUCH_TABLE"), std::string::npos) << e.what();
  }
}

TEST_F(TaskDbTest, ValuesThatDoNotFitAreRefusedNotCut) {
  TCryptoTask fits = Task("v1");
  fits.CertSN = std::string(16384, 'A');
  fits.StrParam = std::string(16384, '7');
  dm_->SaveTask(fits, kTaskStatusNew);
  EXPECT_EQ(Column("v1", "CERT_SN"), fits.CertSN);
  EXPECT_EQ(Column("v1", "STR_PARAM"), fits.StrParam);

  struct Case {
    std::string id, sn, param, name;
  };
  for (const Case& c : {Case{"v2", std::string(16385, 'A'), "", "CERT_SN"},
                        Case{"v3", "", std::string(20000, '7'), "STR_PARAM"},
                        Case{std::string(129, 'a'), "", "", "ID"}}) {
    TCryptoTask task = Task(c.id);
    task.CertSN = c.sn;
    task.StrParam = c.param;
    try {
      dm_->SaveTask(task, kTaskStatusNew);
      ADD_FAILURE() << c.name << " accepted";
    } catch (const EIBError& e) {
      EXPECT_NE(std::string(e.what()).find(c.name), std::string::npos) << e.what();
    }
    dm_->CommitAll();
    EXPECT_EQ(Column(c.id.substr(0, 128), "ID"), "<none>") << c.name;
  }
}

TEST_F(TaskDbTest, FailedConnectionIsLoggedAndTheUnopenedDatabaseReported) {
  Settings settings = settings_.Get();
  settings.DBPATH = dir_ / "missing.fdb";
  settings_.Set(settings);
  try {
    CreateTaskDM(settings_.Get());
    FAIL() << "no error";
  } catch (const EIBInterBaseError& e) {
    EXPECT_EQ(e.IBErrorCode(), isc_bad_db_handle) << e.what();
  }
  const std::string log = ReadFileToString(LogFileName());
  EXPECT_NE(log.find("ERROR Unhandled exception EIBInterBaseError "), std::string::npos) << log;
  EXPECT_NE(log.find("missing.fdb"), std::string::npos) << log;
}

TEST_F(TaskDbTest, ServerPathGoesToTheNetwork) {
  Settings settings = settings_.Get();
  settings.DBPATH = "127.0.0.1/1:/srv/tasks.fdb";  // nothing listens on port 1
  settings_.Set(settings);
  EXPECT_THROW(CreateTaskDM(settings_.Get()), EIBInterBaseError);
  const std::string log = ReadFileToString(LogFileName());
  EXPECT_NE(log.find("network request"), std::string::npos) << log;
}

TEST_F(TaskDbTest, CommitAllEndsBothTransactions) {
  dm_->SaveTask(Task("e1"), kTaskStatusNew);
  EXPECT_TRUE(dm_->IBTransactionRead.InTransaction());
  dm_->CommitAll();
  EXPECT_FALSE(dm_->IBTransactionRW.InTransaction());
  EXPECT_FALSE(dm_->IBTransactionRead.InTransaction());
  dm_->CommitAll();  // nothing active: nothing to do
}

TEST_F(TaskDbTest, CloseRollsBackWhatWasNotCommitted) {
  dm_->SaveTask(Task("w1"), kTaskStatusNew);
  {
    auto q = dm_->NewQuery(true);
    dm_->StartTran(true);
    q->SetSql("update CRYPTO_TASKS set STATUS=2 where ID=:ID");
    q->SetString("ID", "w1");
    q->ExecQuery();
  }
  dm_->Close();
  EXPECT_FALSE(dm_->IB.Connected());
  EXPECT_EQ(Column("w1", "STATUS"), "0");
  dm_.reset();  // a closed module is freed quietly
}

TEST_F(TaskDbTest, ATaskIsClaimedOnceWhateverConnectionAsks) {
  dm_->SaveTask(Task("c1"), kTaskStatusNew);
  auto other = CreateTaskDM(settings_.Get());
  EXPECT_TRUE(other->ClaimTask("c1"));
  EXPECT_FALSE(dm_->ClaimTask("c1"));
  EXPECT_FALSE(other->ClaimTask("c1"));
  std::string text;
  EXPECT_EQ(dm_->GetTaskStatus("c1", text), kTaskStatusWait);
  EXPECT_FALSE(dm_->ClaimTask("missing"));
  // Stored again, the task waits again and may be claimed again.
  dm_->SaveTask(Task("c1"), kTaskStatusNew);
  EXPECT_TRUE(dm_->ClaimTask("c1"));
}

TEST_F(TaskDbTest, AClaimHeldOpenIsFinalWithItsResultAndGoneWithItsConnection) {
  dm_->SaveTask(Task("c3"), kTaskStatusNew);
  dm_->SaveTask(Task("c4"), kTaskStatusNew);
  auto other = CreateTaskDM(settings_.Get());
  ASSERT_TRUE(other->ClaimTask("c3", /*commit=*/false));
  EXPECT_FALSE(dm_->ClaimTask("c3"));  // locked by the open claim
  std::string text;
  EXPECT_EQ(dm_->GetTaskStatus("c3", text), kTaskStatusNew);  // not final yet: still waiting to readers
  other->SetTaskResult("c3", kTaskStatusSuccess, "signed");
  EXPECT_EQ(dm_->GetTaskStatus("c3", text), kTaskStatusSuccess);
  EXPECT_EQ(text, "signed");
  // A connection lost with its claim open leaves the task waiting for others.
  ASSERT_TRUE(other->ClaimTask("c4", /*commit=*/false));
  other.reset();
  EXPECT_TRUE(dm_->ClaimTask("c4"));
}

TEST_F(TaskDbTest, AClaimWhileAnotherConnectionChangesTheRowIsNotOurs) {
  dm_->SaveTask(Task("c2"), kTaskStatusNew);
  dm_->SaveTask(Task("done"), kTaskStatusNew);
  auto other = CreateTaskDM(settings_.Get());
  auto q = other->NewQuery(true);
  other->StartTran(true);
  q->SetSql("update CRYPTO_TASKS set STR_PARAM='x' where ID='c2'");
  q->ExecQuery();  // holds the row until it commits
  // A result stored before the refused claim, in the same transaction,
  // survives it.
  ASSERT_TRUE(dm_->ClaimTask("done", /*commit=*/false));
  dm_->SetTaskResult("done", kTaskStatusSuccess, "result", /*commit=*/false);
  EXPECT_FALSE(dm_->ClaimTask("c2", /*commit=*/false));
  dm_->CommitTran(true);
  EXPECT_EQ(Column("done", "STATUS"), "2");
  EXPECT_FALSE(dm_->ClaimTask("c2"));
  q.reset();
  other->CommitTran(true);
  EXPECT_TRUE(dm_->ClaimTask("c2"));
}

}  // namespace
}  // namespace zuntar
