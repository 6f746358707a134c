// TDM: one thread's access to the crypto task table.
//
// Each thread that uses the database owns one TDM: a connection, a
// read-write and a read-only transaction, and the statements of the task
// store, prepared once and reused for the connection's life. A TDM is never
// shared between threads and holds no locks. Database errors are not caught
// here; they reach the caller as EIBError exceptions.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/settings.h"
#include "platform/exception.h"
#include "tasks/crypto_task.h"
#include "tasks/ib_database.h"
#include "tasks/ib_statement.h"
#include "tasks/ib_transaction.h"

namespace zuntar {

// A task id that belongs to another web site (or to a program) was sent by
// a page: the stored task is left as it is.
ZUNTAR_DEFINE_EXCEPTION(ETaskIdTaken, Exception);

class TDM {
 public:
  // Takes DBPATH, DBUSER and DBPASSWORD from `settings` and opens the
  // connection. A failure to connect does not leave the constructor: it is
  // logged as an unhandled exception, and the first transaction started
  // afterwards fails (see CreateTaskDM).
  explicit TDM(const Settings& settings);
  // Rolls back what is still open and detaches, ignoring errors.
  ~TDM();
  TDM(const TDM&) = delete;
  TDM& operator=(const TDM&) = delete;

  IbDatabase IB;
  IbTransaction IBTransactionRW{IB, {"read_committed", "rec_version", "nowait"}};
  IbTransaction IBTransactionRead{IB, {"read", "read_committed", "rec_version", "nowait"}};

  // Starts the read-write (true) or the read transaction if not active.
  void StartTran(bool rw);
  // Commits the chosen transaction if it is active.
  void CommitTran(bool rw);
  // Rolls the chosen transaction back if it is active.
  void RollbackTran(bool rw);
  // Commits the read-write transaction, then the read one, ignoring an
  // error of the second.
  void CommitAll();
  // A new ad-hoc statement on IB and the chosen transaction. It must be
  // freed before this TDM.
  std::unique_ptr<IbStatement> NewQuery(bool rw);

  // The tasks still waiting (status 0) that started after `since`, in the
  // table's order, on the read transaction (started when needed). A row
  // whose id `known` holds is not read.
  std::vector<TCryptoTask> LoadNewTasks(DateTime since, const std::set<std::string>& known);

  // Inserts the task, or updates the row with its id: the update clears
  // OUT_DATA and keeps START_TIME and ORIGIN. A task of a page (Origin set)
  // updates only a row of the same origin: any other row throws
  // ETaskIdTaken and stays as it is.
  void SaveTask(const TCryptoTask& task, uint8_t status);
  // The same with the input given apart (task.InData is not read), and
  // `accepted` called once the id is known to be free or the task's own,
  // before the row is written.
  void SaveTask(const TCryptoTask& task, uint8_t status, std::string_view in_data,
                const std::function<void()>& accepted);
  // The task's status and its text: OUT_DATA, the not-found text, the
  // time-out text or nothing. With `origin`, only a task of that origin or
  // of none is found; any other answers as an unknown id does.
  uint8_t GetTaskStatus(const std::string& id, std::string& text,
                        const std::optional<std::string>& origin = std::nullopt);
  // Without `commit` the result waits in the open read-write transaction
  // for the next commit (several results committed together).
  void SetTaskResult(const std::string& id, uint8_t status, const std::string& text, bool commit = true);
  // The same with OUT_DATA a blob written in the read-write transaction
  // (IbBlobWriter on IBTransactionRW).
  void SetTaskResult(const std::string& id, uint8_t status, ISC_QUAD out_data, bool commit = true);
  // Takes a stored task for this thread to run: STATUS goes from 0 to 1
  // where it is still 0. False when another thread or process took it first
  // (or holds its row locked now), or the row is gone; a task is thus run
  // once however many processing threads share the table. Without `commit`
  // the claim stays in the open read-write transaction, its row locked
  // against every other claim, and the next commit (SetTaskResult's) makes
  // it final together with the result: one commit per task. A claim that
  // is rolled back (the connection lost) leaves the task waiting.
  bool ClaimTask(const std::string& id, bool commit = true);
  // Gives back a claim that is not committed yet, in the same transaction:
  // once it commits, the task waits (status 0) as if never claimed.
  void ReleaseTask(const std::string& id);
  // Locks the row of a task stored with status 1 in the open read-write
  // transaction, until the commit that stores its result. While the row is
  // held, CloseInterruptedTasks leaves it alone; a process that dies, or
  // loses its connection, lets go of it with the transaction.
  void HoldTask(const std::string& id);
  // Every task left at status 1 that no connection holds (its process ended
  // or lost the database before the result was stored) gets status 3 with
  // InterruptedTaskText(). Returns their ids.
  std::vector<std::string> CloseInterruptedTasks();
  // Deletes rows older than 90 days and empties rows older than 30 days,
  // counted back from now or from the newest START_TIME if later.
  void CleanupTasks();

  // Ends both transactions (rolling back) and detaches, reporting errors;
  // the destructor does the same silently.
  void Close();

 private:
  IbTransaction& TransactionOf(bool rw) { return rw ? IBTransactionRW : IBTransactionRead; }

  IbStatement ibsqlInsertCryptoTask;
  IbStatement ibsqlUpdateCryptoTask;
  IbStatement ibsqlSetStatusAndResult;
  IbStatement ibsqlGetCryptoTaskStatusAndResult;
  IbStatement ibsqlGetOwnCryptoTaskStatusAndResult;  // a task of one origin, or of none
  IbStatement ibsqlLoadNewCryptoTasks;
  IbStatement ibsqlClaimCryptoTask;
  IbStatement ibsqlReleaseCryptoTask;
  IbStatement ibsqlHoldCryptoTask;
};

// A new TDM with its read transaction started. When the connection failed,
// the failure is logged ("Unhandled exception ...") and the client
// library's error for the unopened database is thrown.
std::unique_ptr<TDM> CreateTaskDM(const Settings& settings);

// True for a database error whose code is a deadlock (335544336), a lock
// conflict (335544345) or an update conflict (335544451).
bool IsLockConflict(const std::exception& e);

// True for a database error that says the connection itself is gone: the
// server ended or restarted, or the network between failed. A new
// connection may well succeed where this one failed.
bool IsConnectionLost(const std::exception& e);

// A task from the current row of a statement that selects whole rows of
// CRYPTO_TASKS (ibsqlLoadNewCryptoTasks).
TCryptoTask ReadCryptoTask(IbStatement& row);

// The texts the store produces, in code page 1251.
std::string TaskNotFoundText(const std::string& id);
std::string TaskTimedOutText();
// "Криптозадание с Id=<id> уже создано не этим сайтом".
std::string TaskIdTakenText(const std::string& id);
std::string InterruptedTaskText();

}  // namespace zuntar
