// A fresh task database for each test, in a folder of its own.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>

#include "core/process_values.h"
#include "core/settings.h"
#include "support/temp_dir.h"
#include "tasks/firebird_root.h"
#include "tasks/task_database.h"
#include "tasks/task_dm.h"

namespace zuntar::test {

// The embedded engine keeps its private root under the platform root: one
// per test process, set before the first Firebird call.
inline void UsePrivatePlatformRoot() {
  static TempDir* root = [] {
    auto* dir = new TempDir;
    ::setenv("ZUNTAR_PLATFORM_ROOT", dir->path().c_str(), 1);
    return dir;
  }();
  (void)root;
}

class TaskDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UsePrivatePlatformRoot();
    PrepareFirebirdClient();
    SetStartupValues(BasicStartupValues(dir_.path()));
    Settings settings = DefaultSettings(dir_.path());
    settings.DBPATH = DbPath();
    settings_.Set(settings);
    ASSERT_EQ(CreateTaskDatabase(settings_.Get()), CreateDatabaseResult::kCreated);
    dm_ = CreateTaskDM(settings_.Get());
  }

  std::string DbPath() const { return dir_ / "tasks.fdb"; }

  // Runs one statement with an ID parameter (and a date-time one, if the
  // text has :T) on a second connection and commits it.
  void Execute(const std::string& sql, const std::string& id, DateTime t = 0) {
    auto other = CreateTaskDM(settings_.Get());
    auto q = other->NewQuery(true);
    other->StartTran(true);
    q->SetSql(sql);
    q->SetString("ID", id);
    if (sql.find(":T") != std::string::npos) q->SetDateTime("T", t);
    q->ExecQuery();
    q.reset();
    other->CommitTran(true);
  }

  void SetStartTime(const std::string& id, DateTime t) {
    Execute("update CRYPTO_TASKS set START_TIME=:T where ID=:ID", id, t);
  }

  // One column of the row with `id`, read by a fresh connection; "<NULL>"
  // for NULL, "<none>" when the row is missing.
  std::string Column(const std::string& id, const std::string& column) {
    auto other = CreateTaskDM(settings_.Get());
    auto q = other->NewQuery(false);
    q->SetSql("select " + column + " from CRYPTO_TASKS where ID=:ID");
    q->SetString("ID", id);
    q->ExecQuery();
    if (!q->Next()) return "<none>";
    const IbField f = q->Field(0);
    return f.IsNull() ? "<NULL>" : f.AsString();
  }

  DateTime StartTimeOf(const std::string& id) {
    auto other = CreateTaskDM(settings_.Get());
    auto q = other->NewQuery(false);
    q->SetSql("select START_TIME from CRYPTO_TASKS where ID=:ID");
    q->SetString("ID", id);
    q->ExecQuery();
    EXPECT_TRUE(q->Next());
    return q->Field(0).AsDateTime();
  }

  static TCryptoTask Task(const std::string& id, std::string in_data = "input") {
    TCryptoTask task;
    task.Id = id;
    task.InData = std::move(in_data);
    task.CertSN = "01AB";
    return task;
  }

  TempDir dir_;
  SettingsInForce settings_;
  std::unique_ptr<TDM> dm_;
};

}  // namespace zuntar::test
