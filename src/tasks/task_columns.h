// Columns CRYPTO_TASKS gained after its first form (kTaskSchema).
//
// Every database gets them: CREATEDB right after the table, Start on a
// database made before (AddMissingTaskColumns). Each added column is
// nullable, without a default or trigger, so an instance that does not
// know it goes on inserting and reading rows of the same database.
#pragma once

#include <string>

namespace zuntar {

class IbDatabase;

struct TaskColumn {
  const char* name;
  const char* type;
};

inline constexpr TaskColumn kAddedTaskColumns[] = {
    // The web site whose page created the task; NULL for a program on the
    // machine. A page's origin is at most a scheme, a host name of 253
    // characters and a port.
    {"ORIGIN", "varchar(2048)"},
};

// Adds `column` of `type` to `table` unless the table has it; true when it
// was added here. Another connection adding it at the same moment is no
// failure. Throws EIBError when it cannot be added.
bool AddColumnIfMissing(IbDatabase& db, const std::string& table, const std::string& column,
                        const std::string& type);

// Adds every column of kAddedTaskColumns that CRYPTO_TASKS lacks and logs
// each one added. Throws EIBError on the first that cannot be added.
void AddMissingTaskColumns(IbDatabase& db);

}  // namespace zuntar
