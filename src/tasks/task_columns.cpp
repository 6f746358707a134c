#include "tasks/task_columns.h"

#include "core/log.h"
#include "tasks/ib_database.h"
#include "tasks/ib_error.h"
#include "tasks/ib_statement.h"
#include "tasks/ib_transaction.h"

namespace zuntar {
namespace {

bool HasColumn(IbDatabase& db, IbTransaction& t, const std::string& table, const std::string& column) {
  IbStatement q(db, t,
                "select 1 from RDB$RELATION_FIELDS where RDB$RELATION_NAME = :T and RDB$FIELD_NAME = :C");
  q.SetString("T", table);
  q.SetString("C", column);
  q.ExecQuery();
  const bool has = q.Next();
  q.Close();
  return has;
}

bool HasColumnNow(IbDatabase& db, const std::string& table, const std::string& column) {
  IbTransaction read(db, {"read", "read_committed", "rec_version"});
  read.StartTransaction();
  const bool has = HasColumn(db, read, table, column);
  read.Commit();
  return has;
}

}  // namespace

bool AddColumnIfMissing(IbDatabase& db, const std::string& table, const std::string& column,
                        const std::string& type) {
  if (HasColumnNow(db, table, column)) return false;
  IbTransaction ddl(db, {"concurrency", "wait"});
  try {
    ddl.StartTransaction();
    {
      IbStatement alter(db, ddl, "alter table " + table + " add " + column + " " + type);
      alter.ExecQuery();
    }
    ddl.Commit();  // the engine makes the change here, and may refuse it here
    return true;
  } catch (const EIBError&) {
    if (ddl.InTransaction()) ddl.Rollback();
    if (HasColumnNow(db, table, column)) return false;  // another instance was first
    throw;
  }
}

void AddMissingTaskColumns(IbDatabase& db) {
  for (const TaskColumn& c : kAddedTaskColumns)
    if (AddColumnIfMissing(db, "CRYPTO_TASKS", c.name, c.type))
      LogEvent(std::string("Database: column CRYPTO_TASKS.") + c.name + " added");
}

}  // namespace zuntar
