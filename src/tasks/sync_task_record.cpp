#include "tasks/sync_task_record.h"

#include "core/log.h"
#include "tasks/ib_blob.h"
#include "tasks/task_dm.h"

namespace zuntar {
namespace {

// The task as its row holds it, without the input (which may be large).
TCryptoTask RecordFields(const TCryptoTask& task) {
  TCryptoTask fields;
  fields.Id = task.Id;
  fields.TaskType = task.TaskType;
  fields.CertSN = task.CertSN;
  fields.CertThumb = task.CertThumb;
  fields.StrParam = task.StrParam;
  fields.Origin = task.Origin;
  return fields;
}

// Runs one step of the record. A failure is logged and what the read-write
// transaction held is given up: false.
template <typename Step>
bool KeepRecord(TDM& dm, const std::string& id, Step step) {
  try {
    step();
    return true;
  } catch (const std::exception& e) {
    LogError("task " + id + ": the record of the synchronous task was not kept: " + e.what());
  }
  try {
    dm.RollbackTran(true);
  } catch (const std::exception&) {
    // A connection that is gone has nothing left to roll back.
  }
  return false;
}

// Runs a step on the result being written; a step that fails discards the
// result while its transaction is still there.
template <typename Step>
void OnResult(std::optional<IbBlobWriter>& result, Step step) {
  try {
    step();
  } catch (...) {
    result.reset();
    throw;
  }
}

}  // namespace

SyncTaskRecord::SyncTaskRecord(TDM& dm, const TCryptoTask& task)
    : dm_(dm), fields_(RecordFields(task)), input_(task.InData), thread_([this] { Run(); }) {}

SyncTaskRecord::~SyncTaskRecord() {
  {
    MutexLock lock(mu_);
    given_up_ = true;
  }
  changed_.NotifyAll();
}  // thread_ joins here, before the members it uses go

bool SyncTaskRecord::Accepted() {
  MutexLock lock(mu_);
  while (!accepted_) changed_.Wait(mu_);
  return failure_ == nullptr;
}

bool SyncTaskRecord::Stored() {
  MutexLock lock(mu_);
  while (!stored_) changed_.Wait(mu_);
  return failure_ == nullptr;
}

void SyncTaskRecord::ResultBegins(const std::string& head) {
  {
    MutexLock lock(mu_);
    if (!head_ && !input_released_) head_ = head;
  }
  changed_.NotifyAll();
}

bool SyncTaskRecord::ReleaseInput() {
  MutexLock lock(mu_);
  input_released_ = true;
  changed_.NotifyAll();
  while (!input_read_) changed_.Wait(mu_);
  return failure_ == nullptr;
}

void SyncTaskRecord::Store(uint8_t status, std::vector<std::string_view> out_data) {
  {
    MutexLock lock(mu_);
    status_ = status;
    out_data_ = std::move(out_data);
  }
  changed_.NotifyAll();
}

void SyncTaskRecord::Finish() {
  if (thread_.joinable()) thread_.join();
  MutexLock lock(mu_);
  if (failure_) std::rethrow_exception(failure_);
}

void SyncTaskRecord::Run() {
  std::exception_ptr failure;
  try {
    Write();
  } catch (...) {
    failure = std::current_exception();
  }
  MutexLock lock(mu_);
  failure_ = failure;
  accepted_ = stored_ = input_read_ = true;
  changed_.NotifyAll();
}

void SyncTaskRecord::Write() {
  dm_.SaveTask(fields_, kTaskStatusWait, input_, [this] {
    MutexLock lock(mu_);
    accepted_ = true;
    changed_.NotifyAll();
  });
  bool kept = KeepRecord(dm_, fields_.Id, [&] { dm_.HoldTask(fields_.Id); });
  MarkStored();
  std::optional<IbBlobWriter> result;
  const std::optional<std::string> head = kept ? NextStep() : std::nullopt;
  if (head) {
    kept = KeepRecord(dm_, fields_.Id, [&] {
      dm_.StartTran(true);
      OnResult(result, [&] {
        result.emplace(dm_.IBTransactionRW);
        result->Append(*head);
        result->Append(input_);
      });
    });
  }
  MarkInputRead();
  uint8_t status = kTaskStatusError;
  const std::optional<std::vector<std::string_view>> out_data = kept ? AwaitOutcome(status) : std::nullopt;
  if (out_data) {
    KeepRecord(dm_, fields_.Id, [&] {
      OnResult(result, [&] {
        // What was written is the outcome's start when the outcome is the
        // head, this very input, then the rest.
        const bool continues = result && out_data->size() == 3 && (*out_data)[0] == *head &&
                               (*out_data)[1].data() == input_.data() && (*out_data)[1].size() == input_.size();
        auto rest = out_data->begin();
        if (continues) {
          rest += 2;
        } else {
          result.reset();
          dm_.StartTran(true);
          result.emplace(dm_.IBTransactionRW);
        }
        for (; rest != out_data->end(); ++rest) result->Append(*rest);
        dm_.SetTaskResult(fields_.Id, status, result->Close());
      });
    });
  }
  try {
    dm_.CommitTran(false);  // the read transaction of the store's look-up
  } catch (const std::exception&) {
    // It changed nothing; a failed commit loses nothing.
  }
}

std::optional<std::string> SyncTaskRecord::NextStep() {
  MutexLock lock(mu_);
  while (!head_ && !input_released_ && !given_up_) changed_.Wait(mu_);
  if (given_up_) return std::nullopt;
  return head_;
}

void SyncTaskRecord::MarkStored() {
  MutexLock lock(mu_);
  stored_ = true;
  changed_.NotifyAll();
}

void SyncTaskRecord::MarkInputRead() {
  MutexLock lock(mu_);
  input_read_ = true;
  changed_.NotifyAll();
}

std::optional<std::vector<std::string_view>> SyncTaskRecord::AwaitOutcome(uint8_t& status) {
  MutexLock lock(mu_);
  while (!out_data_ && !given_up_) changed_.Wait(mu_);
  status = status_;
  return out_data_;
}

}  // namespace zuntar
