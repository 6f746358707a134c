// CREATEDB: creating the task database once per installation, with the
// result printed for the person who asked.
#pragma once

#include "core/process_values.h"
#include "core/settings.h"

namespace zuntar {

// Reads the configuration file and creates the database DBPATH names,
// leaving an existing one untouched. Returns the process's exit code: 0
// when the database is there afterwards (created or found), 1 when not.
int RunCreateDatabase(const StartupValues& values);

// Creates the default database of the instance (DataDir) at its first
// start, where the database is used and the configuration keeps the
// default path; failures go to the log and Start reports them as usual.
void CreateOwnDatabaseWhenMissing(const StartupValues& values, const Settings& settings);

}  // namespace zuntar
