#include "tasks/task_database.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/log.h"
#include "core/settings.h"
#include "platform/exception.h"
#include "platform/file_io.h"
#include "tasks/ib_database.h"
#include "tasks/ib_error.h"
#include "tasks/ib_statement.h"
#include "tasks/ib_transaction.h"
#include "tasks/task_columns.h"

namespace zuntar {

// Column sizes: an id is at most 128 bytes (ours have 32); CERT_SN and
// STR_PARAM come from the query string of one request, whose head the HTTP
// listener bounds to 16 KiB, so 16384 bytes hold any value it can hand
// over. Texts keep the bytes they are given (character set NONE).
const char* const kTaskSchema[3] = {
    "create table CRYPTO_TASKS ("
    " ID varchar(128) not null,"
    " TTYPE smallint not null,"
    " START_TIME timestamp not null,"
    " MODIFY_TIME timestamp,"
    " STATUS smallint not null,"
    " CERT_SN varchar(16384),"
    " STR_PARAM varchar(16384),"
    " IN_DATA blob sub_type 0,"
    " OUT_DATA blob sub_type 0,"
    " constraint PK_CRYPTO_TASKS primary key (ID))",
    "create index IDX_CRYPTO_TASKS_START_TIME on CRYPTO_TASKS (START_TIME)",
    "create descending index IDX_CRYPTO_TASKS_START_TIME_D on CRYPTO_TASKS (START_TIME)",
};

namespace {

bool DatabaseExists(const std::string& path, const std::string& user, const std::string& password) {
  if (!IsServerPath(path)) return FileExists(path);
  IbDatabase probe;
  probe.DatabaseName = path;
  probe.UserName = user;
  probe.Password = password;
  try {
    probe.Open();
  } catch (const EIBError&) {
    return false;  // creating it will tell why, if it cannot be made either
  }
  return true;
}

void CreateSchema(IbDatabase& db) {
  IbTransaction ddl(db, {"concurrency", "wait"});
  for (const char* sql : kTaskSchema) {
    ddl.StartTransaction();
    IbStatement statement(db, ddl, sql);
    statement.ExecQuery();
    ddl.Commit();
  }
}

}  // namespace

bool IsServerPath(const std::string& path) {
  // "host:path" or "host/port:path"; a one-letter prefix would be a drive
  // letter, and a prefix starting with '/' or holding more than one '/' is
  // a local path that happens to contain a colon.
  const size_t colon = path.find(':');
  if (colon == std::string::npos || colon < 2 || path[0] == '/') return false;
  const std::string prefix = path.substr(0, colon);
  return std::count(prefix.begin(), prefix.end(), '/') <= 1;
}

CreateDatabaseResult CreateTaskDatabase(const std::string& path, const std::string& user,
                                        const std::string& password) {
  if (DatabaseExists(path, user, password)) return CreateDatabaseResult::kAlreadyExists;
  IbDatabase db;
  db.DatabaseName = path;
  db.UserName = user;
  db.Password = password;
  db.Create();
  try {
    // The engine creates the file readable by others; its tasks hold the
    // data the user signs and decrypts.
    if (!IsServerPath(path) && ::chmod(path.c_str(), 0600) != 0)
      throw EFCreateError("Cannot make " + path + " private: " + std::strerror(errno));
    CreateSchema(db);
    AddMissingTaskColumns(db);
    db.Close();
  } catch (...) {
    // Drop the half-made file so the next attempt starts afresh.
    if (db.Connected()) {
      ISC_STATUS_ARRAY status;
      isc_drop_database(status, db.Handle());
    }
    throw;
  }
  return CreateDatabaseResult::kCreated;
}

CreateDatabaseResult CreateTaskDatabase(const Settings& settings) {
  const CreateDatabaseResult result = CreateTaskDatabase(settings.DBPATH, settings.DBUSER, settings.DBPASSWORD);
  if (result == CreateDatabaseResult::kCreated)
    LogEvent("Database " + settings.DBPATH + " created");
  else
    LogEvent("Database " + settings.DBPATH + " already exists; left untouched");
  return result;
}

}  // namespace zuntar
