// A "_SYNC" request: the task is stored with status 1 (when there is a
// module) and its row held, checked, run on the caller's thread (the
// key-media prompt included) and its outcome stored with status 2 or 3.
// The record is written on a thread of its own meanwhile (SyncTaskRecord),
// and a result may still be written to it while the caller answers with it.
//
// Every failure of the task itself becomes its outcome. Only a failure to
// store the task leaves, as an exception from the constructor: once it is
// stored, a failing database is logged and the outcome answered all the
// same (TDM::CloseInterruptedTasks closes the row at the next start).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "certs/provider_detection.h"
#include "tasks/crypto_task.h"

namespace zuntar {

class SharedCertManager;
class SyncTaskRecord;
class TDM;

// The outcome of a synchronous task, for the HTTP reply.
struct SyncTaskOutcome {
  enum Kind {
    kSuccess,   // the result is SyncTask::Result()
    kNoResult,  // the operation produced nothing
    kError,     // `data` holds the message
  };
  Kind kind = kError;
  std::string data;
};

class SyncTask {
 public:
  // Runs the task (`providers` for the key-media prompt). Until Finish
  // returns, `dm` is the record's: nothing else may use it.
  SyncTask(TCryptoTask task, TDM* dm, const SharedCertManager& managers, const ProviderState& providers);
  // Finishes the record.
  ~SyncTask();
  SyncTask(const SyncTask&) = delete;
  SyncTask& operator=(const SyncTask&) = delete;

  const SyncTaskOutcome& outcome() const { return outcome_; }
  // The result of a success in pieces that follow one another (an attached
  // signature: its head, the input, its tail).
  const std::vector<std::string_view>& Result() const { return result_; }
  // Whether the record is still being written.
  bool Writing() const { return record_ != nullptr; }
  // Waits until the record is written, or given up and logged.
  void Finish();

 private:
  TCryptoTask task_;
  SyncTaskOutcome outcome_;
  std::string head_, tail_;
  std::vector<std::string_view> result_;
  std::unique_ptr<SyncTaskRecord> record_;
};

}  // namespace zuntar
