#include "tasks/task_dm.h"

#include "core/log.h"
#include "core/settings.h"
#include "core/utf.h"
#include "platform/code_page.h"
#include "tasks/ib_blob.h"
#include "tasks/ib_error.h"

namespace zuntar {

namespace {

constexpr char kInsertSql[] =
    "insert into CRYPTO_TASKS (ID,TTYPE,START_TIME,STATUS,CERT_SN,STR_PARAM,IN_DATA,ORIGIN )"
    "values (:ID,:TTYPE,'NOW',:STATUS,:CERT_SN,:STR_PARAM,:IN_DATA,:ORIGIN)";
constexpr char kUpdateSql[] =
    "UPDATE CRYPTO_TASKS SET TTYPE = :TTYPE, STATUS = :STATUS, CERT_SN = :CERT_SN, STR_PARAM = :STR_PARAM, "
    "IN_DATA = :IN_DATA, MODIFY_TIME = 'NOW', OUT_DATA=NULL WHERE ID = :ID";
constexpr char kSetStatusAndResultSql[] =
    "update CRYPTO_TASKS set MODIFY_TIME='NOW',STATUS=:STATUS,OUT_DATA=:RES_DATA where ID=:ID";
constexpr char kGetStatusAndResultSql[] =
    "select STATUS, START_TIME, OUT_DATA, ORIGIN from CRYPTO_TASKS where ID=:ID";
constexpr char kGetOwnStatusAndResultSql[] =
    "select STATUS, START_TIME, OUT_DATA from CRYPTO_TASKS where ID=:ID and (ORIGIN is null or ORIGIN=:ORIGIN)";
constexpr char kLoadNewSql[] = "select *  from CRYPTO_TASKS where START_TIME > :DT and STATUS=0";
constexpr char kClaimSql[] = "update CRYPTO_TASKS set MODIFY_TIME='NOW',STATUS=1 where ID=:ID and STATUS=0";
constexpr char kReleaseSql[] = "update CRYPTO_TASKS set STATUS=0 where ID=:ID and STATUS=1";
constexpr char kHoldSql[] = "update CRYPTO_TASKS set STATUS=1,OUT_DATA=NULL where ID=:ID";
constexpr char kCloseInterruptedSql[] =
    "update CRYPTO_TASKS set MODIFY_TIME='NOW',STATUS=3,OUT_DATA=:RES_DATA where ID=:ID and STATUS=1";

constexpr unsigned kCp1251 = 1251;

// Closes a statement's cursor however the block is left, and lets go of
// the caller's bytes bound without a copy.
class CloseOnExit {
 public:
  explicit CloseOnExit(IbStatement& statement, const char* ref_parameter = nullptr)
      : statement_(statement), ref_parameter_(ref_parameter) {}
  ~CloseOnExit() {
    statement_.Close();
    if (ref_parameter_ != nullptr) statement_.SetNull(ref_parameter_);
  }
  CloseOnExit(const CloseOnExit&) = delete;
  CloseOnExit& operator=(const CloseOnExit&) = delete;

 private:
  IbStatement& statement_;
  const char* ref_parameter_;
};

std::string Cp1251(std::string_view utf8) { return CodePageFromWide(kCp1251, WideFromUtf8(utf8)); }

}  // namespace

std::string TaskNotFoundText(const std::string& id) {
  return Cp1251("Криптозадание с Id=") + id + Cp1251(" не найдено");
}

std::string TaskTimedOutText() { return Cp1251("Время ожидания выполнения криптозадания истекло"); }

std::string TaskIdTakenText(const std::string& id) {
  return Cp1251("Криптозадание с Id=") + id + Cp1251(" уже создано не этим сайтом");
}

std::string InterruptedTaskText() { return Cp1251("Выполнение криптозадания было прервано, результат не сохранён"); }

TDM::TDM(const Settings& settings)
    : ibsqlInsertCryptoTask(IB, IBTransactionRW, kInsertSql),
      ibsqlUpdateCryptoTask(IB, IBTransactionRW, kUpdateSql),
      ibsqlSetStatusAndResult(IB, IBTransactionRW, kSetStatusAndResultSql),
      ibsqlGetCryptoTaskStatusAndResult(IB, IBTransactionRead, kGetStatusAndResultSql),
      ibsqlGetOwnCryptoTaskStatusAndResult(IB, IBTransactionRead, kGetOwnStatusAndResultSql),
      ibsqlLoadNewCryptoTasks(IB, IBTransactionRead, kLoadNewSql),
      ibsqlClaimCryptoTask(IB, IBTransactionRW, kClaimSql),
      ibsqlReleaseCryptoTask(IB, IBTransactionRW, kReleaseSql),
      ibsqlHoldCryptoTask(IB, IBTransactionRW, kHoldSql) {
  IB.DatabaseName = settings.DBPATH;
  IB.UserName = settings.DBUSER;
  IB.Password = settings.DBPASSWORD;
  try {
    IB.Open();
  } catch (const Exception& e) {
    // The module is still created; its first transaction reports the
    // missing connection to whoever asked for the module.
    LogError(std::string("Unhandled exception ") + e.ClassName() + " " + e.what());
  }
}

TDM::~TDM() = default;

void TDM::Close() {
  for (IbTransaction* t : {&IBTransactionRW, &IBTransactionRead})
    if (t->InTransaction()) t->Rollback();
  IB.Close();
}

void TDM::StartTran(bool rw) {
  IbTransaction& t = TransactionOf(rw);
  if (!t.InTransaction()) t.StartTransaction();
}

void TDM::CommitTran(bool rw) {
  IbTransaction& t = TransactionOf(rw);
  if (t.InTransaction()) t.Commit();
}

void TDM::RollbackTran(bool rw) {
  IbTransaction& t = TransactionOf(rw);
  if (t.InTransaction()) t.Rollback();
}

void TDM::CommitAll() {
  CommitTran(true);
  try {
    CommitTran(false);
  } catch (const std::exception&) {
    // The read transaction changes nothing; a failed commit loses nothing.
  }
}

std::unique_ptr<IbStatement> TDM::NewQuery(bool rw) { return std::make_unique<IbStatement>(IB, TransactionOf(rw)); }

std::vector<TCryptoTask> TDM::LoadNewTasks(DateTime since, const std::set<std::string>& known) {
  std::vector<TCryptoTask> rows;
  IbStatement& q = ibsqlLoadNewCryptoTasks;
  q.Close();
  StartTran(false);
  q.SetDateTime("DT", since);
  q.ExecQuery();
  while (q.Next())
    if (known.count(q.Field("ID").AsString()) == 0) rows.push_back(ReadCryptoTask(q));
  q.Close();
  return rows;
}

void TDM::SaveTask(const TCryptoTask& task, uint8_t status) { SaveTask(task, status, task.InData, {}); }

void TDM::SaveTask(const TCryptoTask& task, uint8_t status, std::string_view in_data,
                   const std::function<void()>& accepted) {
  StartTran(true);
  bool exists = false;
  {
    IbStatement& check = ibsqlGetCryptoTaskStatusAndResult;
    StartTran(false);
    CloseOnExit closer(check);
    check.SetString("ID", task.Id);
    check.ExecQuery();
    exists = check.Next();
    // A row's ORIGIN never changes after its insert, so what is read here
    // still holds when the update runs.
    if (exists && task.Origin) {
      const IbField owner = check.Field("ORIGIN");
      if (owner.IsNull() || owner.AsString() != *task.Origin) throw ETaskIdTaken(TaskIdTakenText(task.Id));
    }
  }
  if (accepted) accepted();
  IbStatement& write = exists ? ibsqlUpdateCryptoTask : ibsqlInsertCryptoTask;
  CloseOnExit closer(write, "IN_DATA");
  write.SetString("ID", task.Id);
  write.SetInteger("TTYPE", task.TaskType);
  write.SetInteger("STATUS", status);
  if (const std::optional<std::string> cert_sn = CertSnColumn(task))
    write.SetString("CERT_SN", *cert_sn);
  else
    write.SetNull("CERT_SN");
  write.SetString("STR_PARAM", task.StrParam);
  write.SetStringRef("IN_DATA", in_data);
  if (!exists) {
    if (task.Origin)
      write.SetString("ORIGIN", *task.Origin);
    else
      write.SetNull("ORIGIN");
  }
  write.ExecQuery();
  CommitTran(true);
}

uint8_t TDM::GetTaskStatus(const std::string& id, std::string& text, const std::optional<std::string>& origin) {
  StartTran(false);
  IbStatement& q = origin ? ibsqlGetOwnCryptoTaskStatusAndResult : ibsqlGetCryptoTaskStatusAndResult;
  CloseOnExit closer(q);
  q.SetString("ID", id);
  if (origin) q.SetString("ORIGIN", *origin);
  q.ExecQuery();
  uint8_t status = kTaskStatusError;
  text.clear();
  if (!q.Next()) {
    text = TaskNotFoundText(id);
  } else {
    status = static_cast<uint8_t>(q.Field("STATUS").AsInteger());
    const IbField out = q.Field("OUT_DATA");
    if (!out.IsNull()) {
      text = out.AsString();
    } else if ((status == kTaskStatusNew || status == kTaskStatusWait) &&
               IsPastLifetime(q.Field("START_TIME").AsDateTime(), Now())) {
      status = kTaskStatusError;
      text = TaskTimedOutText();
    }
  }
  q.Close();
  CommitTran(false);
  return status;
}

void TDM::SetTaskResult(const std::string& id, uint8_t status, const std::string& text, bool commit) {
  StartTran(true);
  SetTaskResult(id, status, WriteBlob(IBTransactionRW, text), commit);
}

void TDM::SetTaskResult(const std::string& id, uint8_t status, ISC_QUAD out_data, bool commit) {
  StartTran(true);
  IbStatement& q = ibsqlSetStatusAndResult;
  CloseOnExit closer(q);
  q.SetInteger("STATUS", status);
  q.SetBlob("RES_DATA", out_data);
  q.SetString("ID", id);
  q.ExecQuery();
  if (commit) CommitTran(true);
}

bool TDM::ClaimTask(const std::string& id, bool commit) {
  StartTran(true);
  IbStatement& q = ibsqlClaimCryptoTask;
  CloseOnExit closer(q);
  q.SetString("ID", id);
  bool claimed = false;
  try {
    q.ExecQuery();
    claimed = q.RowsAffected() == 1;
  } catch (const std::exception& e) {
    // Another connection is changing the row now: it is not ours to run.
    // Only the failed statement is undone; what the transaction holds
    // besides (results stored before) stays.
    if (!IsLockConflict(e)) throw;
  }
  if (commit) CommitTran(true);
  return claimed;
}

void TDM::ReleaseTask(const std::string& id) {
  StartTran(true);
  CloseOnExit closer(ibsqlReleaseCryptoTask);
  ibsqlReleaseCryptoTask.SetString("ID", id);
  ibsqlReleaseCryptoTask.ExecQuery();
}

void TDM::HoldTask(const std::string& id) {
  StartTran(true);
  CloseOnExit closer(ibsqlHoldCryptoTask);
  ibsqlHoldCryptoTask.SetString("ID", id);
  ibsqlHoldCryptoTask.ExecQuery();
}

std::vector<std::string> TDM::CloseInterruptedTasks() {
  std::vector<std::string> waiting;
  std::unique_ptr<IbStatement> q = NewQuery(true);
  StartTran(true);
  q->SetSql("select ID from CRYPTO_TASKS where STATUS=1");
  q->ExecQuery();
  while (q->Next()) waiting.push_back(q->Field(0).AsString());
  q->Close();
  const std::string text = InterruptedTaskText();
  std::vector<std::string> closed;
  q->SetSql(kCloseInterruptedSql);
  for (const std::string& id : waiting) {
    q->SetString("ID", id);
    q->SetString("RES_DATA", text);
    try {
      q->ExecQuery();
      if (q->RowsAffected() == 1) closed.push_back(id);
    } catch (const std::exception& e) {
      // Held by a live connection: the task is running now.
      if (!IsLockConflict(e)) throw;
    }
    q->Close();
  }
  CommitTran(true);
  return closed;
}

void TDM::CleanupTasks() {
  DateTime base = Now();
  std::unique_ptr<IbStatement> q = NewQuery(true);
  StartTran(true);
  q->SetSql("select max(START_TIME) from CRYPTO_TASKS");
  q->ExecQuery();
  if (q->Next()) {
    const IbField newest = q->Field(0);
    if (!newest.IsNull() && newest.AsDateTime() > base) base = newest.AsDateTime();
  }
  q->Close();
  q->SetSql("delete from CRYPTO_TASKS where START_TIME < :dt");
  q->SetDateTime("dt", base - 90);
  q->ExecQuery();
  q->SetSql("update CRYPTO_TASKS set IN_DATA=NULL,OUT_DATA=NULL where START_TIME < :dt");
  q->SetDateTime("dt", base - 30);
  q->ExecQuery();
  CommitTran(true);
}

std::unique_ptr<TDM> CreateTaskDM(const Settings& settings) {
  auto dm = std::make_unique<TDM>(settings);
  dm->IBTransactionRead.StartTransaction();
  return dm;
}

bool IsLockConflict(const std::exception& e) {
  const auto* db = dynamic_cast<const EIBInterBaseError*>(&e);
  if (db == nullptr) return false;
  const int64_t code = db->IBErrorCode();
  return code == 335544336 || code == 335544345 || code == 335544451;
}

bool IsConnectionLost(const std::exception& e) {
  const auto* db = dynamic_cast<const EIBInterBaseError*>(&e);
  if (db == nullptr) return false;
  for (const int64_t code : db->AllCodes()) {
    switch (code) {
      case isc_network_error:
      case isc_net_read_err:
      case isc_net_write_err:
      case isc_conn_lost:
      case isc_lost_db_connection:
      case isc_att_shutdown:
      case isc_shutdown:
        return true;
      default:
        break;
    }
  }
  return false;
}

TCryptoTask ReadCryptoTask(IbStatement& row) {
  TCryptoTask task;
  task.Id = row.Field("ID").AsString();
  task.TaskType = static_cast<uint8_t>(row.Field("TTYPE").AsInteger());
  const IbField cert_sn = row.Field("CERT_SN");
  ApplyCertSnColumn(task, cert_sn.IsNull() ? std::nullopt : std::optional<std::string>(cert_sn.AsString()));
  task.StrParam = row.Field("STR_PARAM").AsString();
  task.InData = row.Field("IN_DATA").AsString();
  task.StartTime = row.Field("START_TIME").AsDateTime();
  return task;
}

}  // namespace zuntar
