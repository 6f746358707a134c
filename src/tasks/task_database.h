// Creation of the task database.
//
// The plugin itself creates no table when it starts (it only adds the
// columns an older table lacks, task_columns.h); the CREATEDB switch (and
// the tools) call this once per installation.
#pragma once

#include <string>

#include "core/settings.h"

namespace zuntar {

enum class CreateDatabaseResult { kCreated, kAlreadyExists };

// Creates the database `path` with the table CRYPTO_TASKS (kTaskSchema and
// the columns added since, task_columns.h), its primary key on ID, an index
// on START_TIME for the load of new tasks and the cleanup, and a descending
// one for the cleanup's newest START_TIME. A database that
// exists (or a file of any kind at a local path) is left untouched. Throws
// EIBError on failure; a database half made is dropped again.
CreateDatabaseResult CreateTaskDatabase(const std::string& path, const std::string& user,
                                        const std::string& password);

// The same for DBPATH, DBUSER and DBPASSWORD of `settings`; logs what was
// done.
CreateDatabaseResult CreateTaskDatabase(const Settings& settings);

// Whether `path` names a database on a server ("host:/path",
// "host/port:/path") rather than a local file.
bool IsServerPath(const std::string& path);

// The statements that make the table's first form, in order.
extern const char* const kTaskSchema[3];

}  // namespace zuntar
