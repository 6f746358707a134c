// CREATEDB: the real executable creates the task database and ends.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "core/settings.h"
#include "platform/file_io.h"
#include "plugin_sandbox.h"
#include "tasks/firebird_root.h"
#include "tasks/task_dm.h"

namespace zuntar {
namespace {

using test::PluginProcess;
using test::PluginSandbox;
using test::StartLine;

// Opens the database the way the plugin does and stores one task in it.
void UseDatabase(const PluginSandbox& box, const std::string& path) {
  ::setenv("ZUNTAR_PLATFORM_ROOT", box.root().c_str(), 1);  // the same private Firebird root
  PrepareFirebirdClient();
  Settings settings = DefaultSettings(box.exe_dir());
  settings.DBPATH = path;
  auto dm = CreateTaskDM(settings);
  TCryptoTask task;
  task.Id = "probe";
  dm->SaveTask(task, kTaskStatusNew);
  std::string text;
  EXPECT_EQ(dm->GetTaskStatus("probe", text), kTaskStatusNew);
}

TEST(CreateDb, CreatesTheConfiguredDatabaseOnceAndEnds) {
  PluginSandbox box;
  const std::string db = box.exe_dir() + "ZuntarMervoPlugin.gdb";  // the default DBPATH
  std::string out, err;
  EXPECT_EQ(box.Run({"-CREATEDB"}, &out, &err), 0) << err;
  EXPECT_EQ(out, "Database " + db + " created\n");
  EXPECT_NE(box.Log().find("EVENT Database " + db + " created"), std::string::npos) << box.Log();
  UseDatabase(box, db);

  const std::string before = ReadFileToString(db);
  for (const char* spelling : {"/createdb", "\\CreateDb"}) {
    EXPECT_EQ(box.Run({spelling}, &out, &err), 0) << err;
    EXPECT_EQ(out, "Database " + db + " already exists; left untouched\n");
  }
  EXPECT_EQ(ReadFileToString(db), before);
}

TEST(CreateDb, WorksBesideARunningPluginAndTakesDbPathFromTheConfiguration) {
  PluginSandbox box;
  PluginProcess running = box.Start({});
  ASSERT_TRUE(box.WaitForLog(StartLine(true))) << box.Log();
  const std::string db = box.exe_dir() + "other.fdb";
  WriteStringToFile("DBPATH=" + db + "\r\n", box.config_file());
  std::string out, err;
  EXPECT_EQ(box.Run({"-CREATEDB"}, &out, &err), 0) << err;
  EXPECT_EQ(out, "Database " + db + " created\n");
  EXPECT_TRUE(running.Running());
  EXPECT_EQ(running.Terminate(), 0);
  UseDatabase(box, db);
}

TEST(CreateDb, FailureIsReportedWithExitCodeOne) {
  PluginSandbox box;
  const std::string db = box.exe_dir() + "no-such-folder/tasks.fdb";
  WriteStringToFile("DBPATH=" + db + "\r\n", box.config_file());
  std::string out, err;
  EXPECT_EQ(box.Run({"-CREATEDB"}, &out, &err), 1);
  EXPECT_EQ(out, "");
  EXPECT_NE(err.find("Cannot create the database " + db + ": EIBInterBaseError "), std::string::npos) << err;
  EXPECT_NE(box.Log().find("ERROR Cannot create the database"), std::string::npos) << box.Log();
  EXPECT_FALSE(FileExists(db));
}

}  // namespace
}  // namespace zuntar
