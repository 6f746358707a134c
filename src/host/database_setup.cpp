#include "host/database_setup.h"

#include <cstdio>
#include <exception>
#include <string>

#include "core/log.h"
#include "core/process_values.h"
#include "core/settings.h"
#include "platform/exception.h"
#include "platform/file_io.h"
#include "tasks/task_database.h"

namespace zuntar {

int RunCreateDatabase(const StartupValues& values) {
  const LoadedSettings loaded = LoadSettings(values.ConfigFileName, values.DataDir);
  SetLogLevel(loaded.settings.LOG_LEVEL);
  if (!loaded.problem.empty())
    LogError("Startup error: the configuration file \"" + values.ConfigFileName + "\" is ignored: " + loaded.problem);
  const std::string path = loaded.settings.DBPATH;
  try {
    if (CreateTaskDatabase(loaded.settings) == CreateDatabaseResult::kCreated)
      std::printf("Database %s created\n", path.c_str());
    else
      std::printf("Database %s already exists; left untouched\n", path.c_str());
    return 0;
  } catch (const Exception& e) {
    const std::string line = "Cannot create the database " + path + ": " + e.ClassName() + " " + e.what();
    LogError(line);
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  return 1;
}

void CreateOwnDatabaseWhenMissing(const StartupValues& values, const Settings& settings) {
  const std::string& path = settings.DBPATH;
  if (!values.IsCP1251 || path != DefaultSettings(values.DataDir).DBPATH || FileExists(path)) return;
  try {
    CreateTaskDatabase(settings);
  } catch (const Exception& e) {
    LogError("Cannot create the database " + path + ": " + e.ClassName() + " " + e.what());
  }
}

}  // namespace zuntar
