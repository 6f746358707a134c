// CREATEDB: creating the task database once per installation, with the
// result printed for the person who asked.
#pragma once

namespace zuntar {

// Reads the configuration file and creates the database DBPATH names,
// leaving an existing one untouched. Returns the process's exit code: 0
// when the database is there afterwards (created or found), 1 when not.
int RunCreateDatabase();

}  // namespace zuntar
