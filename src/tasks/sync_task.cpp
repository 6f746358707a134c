#include "tasks/sync_task.h"

#include "core/log.h"
#include "tasks/key_media.h"
#include "tasks/sync_task_record.h"
#include "tasks/task_execution.h"

namespace zuntar {
namespace {

// With a record, nothing is asked before the task is stored (its row held,
// the database at rest), and nothing run before its id is accepted: a task
// that cannot be stored ends as it would have before it ran.
SyncTaskOutcome RunSync(TCryptoTask& task, const SharedCertManager& managers, const ProviderState& providers,
                        SyncTaskRecord* record, SignatureAround& around) {
  const auto stored = [record] { return record == nullptr || record->ReleaseInput(); };
  try {
    std::string message;
    // On this path the prompt is asked in both run modes.
    if (!CheckTaskCertificate(task, message) && !(stored() && RequestKeyMedia(task, providers)))
      return {SyncTaskOutcome::kError, message};
    if (record != nullptr && !record->Accepted()) return {};
    for (;;) {
      try {
        if (ExecuteTask(task, managers, &around)) return {SyncTaskOutcome::kSuccess, std::move(task.Result)};
        return {SyncTaskOutcome::kNoResult, {}};
      } catch (const std::exception& e) {
        if (IsMissingKeyError(e) && NamesCertificate(task) && stored() && RequestKeyMedia(task, providers)) continue;
        return {SyncTaskOutcome::kError, e.what()};
      }
    }
  } catch (const std::exception& e) {
    // A message that is not what the task says it is, a failed look-up or
    // installation: the task's own failure, not the request's.
    return {SyncTaskOutcome::kError, e.what()};
  }
}

}  // namespace

SyncTask::SyncTask(TCryptoTask task, TDM* dm, const SharedCertManager& managers, const ProviderState& providers)
    : task_(std::move(task)) {
  if (dm != nullptr) record_ = std::make_unique<SyncTaskRecord>(*dm, task_);
  SignatureAround around;
  if (record_) around.head_known = [this](const std::string& head) { record_->ResultBegins(head); };
  outcome_ = RunSync(task_, managers, providers, record_.get(), around);
  // A failure to store the task is the request's: it leaves here.
  if (record_ && !record_->Stored()) record_->Finish();
  if (around.made) {
    head_ = std::move(around.head);
    tail_ = std::move(around.tail);
    result_ = {head_, task_.InData, tail_};
  } else {
    // The input may be large; the reply needs only the outcome.
    if (record_) record_->ReleaseInput();
    ReleaseInput(task_);
    if (outcome_.kind == SyncTaskOutcome::kSuccess) result_ = {outcome_.data};
  }
  if (!record_) return;
  if (outcome_.kind == SyncTaskOutcome::kSuccess) {
    record_->Store(kTaskStatusSuccess, result_);  // written while the result is answered
    return;
  }
  const std::string failed = TaskExecutionFailedText();
  record_->Store(kTaskStatusError, {outcome_.kind == SyncTaskOutcome::kNoResult ? failed : outcome_.data});
  Finish();
}

SyncTask::~SyncTask() { Finish(); }

void SyncTask::Finish() {
  if (!record_) return;
  try {
    record_->Finish();
  } catch (const std::exception& e) {
    LogError("task " + task_.Id + ": the record of the synchronous task was not kept: " + e.what());
  } catch (...) {
    LogError("task " + task_.Id + ": the record of the synchronous task was not kept");
  }
  record_.reset();
}

}  // namespace zuntar
