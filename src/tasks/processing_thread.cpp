#include "tasks/processing_thread.h"

#include <algorithm>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/utf.h"
#include "platform/named_event.h"
#include "tasks/ib_error.h"
#include "tasks/key_media.h"
#include "tasks/task_dm.h"
#include "tasks/task_execution.h"
#include "tasks/task_queue.h"

namespace zuntar {
namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kFirstFailurePause = 100ms;
constexpr std::chrono::milliseconds kLongestFailurePause = 5000ms;
// How long stored results may wait to be committed together, and the
// input size of a task long enough that earlier results go first.
constexpr std::chrono::milliseconds kResultCommitDelay = 10ms;
constexpr size_t kLargeInput = size_t{1} << 20;

bool IsDatabaseError(const std::exception& e) { return dynamic_cast<const EIBError*>(&e) != nullptr; }

// The key-media prompt for a task; a failure to install what was found
// counts as no media.
bool AskKeyMedia(const TCryptoTask& task, const ProviderState& providers) {
  try {
    return RequestKeyMedia(task, providers);
  } catch (const std::exception& e) {
    LogError("task " + task.Id + ": " + e.what());
    return false;
  }
}

}  // namespace

TProcessingMgrThread::TProcessingMgrThread(PluginContext& plugin, bool no_http, bool allow_key_prompt)
    : plugin_(plugin), no_http_(no_http), allow_key_prompt_(allow_key_prompt) {
  NewTaskEvent();  // opened before the thread waits on it
  thread_ = std::thread(&TProcessingMgrThread::Execute, this);
}

TProcessingMgrThread::~TProcessingMgrThread() {
  Terminate();
  WaitFor();
}

void TProcessingMgrThread::Terminate() {
  {
    MutexLock lock(park_mu_);
    terminated_.store(true);
  }
  park_cv_.NotifyAll();
  // Ends the current wait. Other processes' threads wake too and find
  // nothing new, which costs them one load.
  if (NamedEvent* event = NewTaskEvent()) event->Pulse();
}

void TProcessingMgrThread::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

void TProcessingMgrThread::Suspend() {
  MutexLock lock(park_mu_);
  paused_ = true;
}

void TProcessingMgrThread::Resume() {
  {
    MutexLock lock(park_mu_);
    paused_ = false;
  }
  park_cv_.NotifyAll();
}

bool TProcessingMgrThread::SafePoint() {
  MutexLock lock(park_mu_);
  parked_ = true;
  while (paused_ && !terminated_.load()) park_cv_.Wait(park_mu_);
  parked_ = false;
  return !terminated_.load();
}

bool TProcessingMgrThread::Parked() {
  MutexLock lock(park_mu_);
  return parked_ && paused_;
}

void TProcessingMgrThread::Execute() {
  LogEvent(AnsiFromUtf8("Обрабатывающий поток запущен"));
  while (!Terminated()) {
    try {
      Cycle();
      failure_pause_ = 0ms;
    } catch (const std::exception& e) {
      LogError(std::string("during load messages to queue ") + e.what());
      DropConnection();
    } catch (...) {
      LogError("during load messages to queue: unknown exception");
      DropConnection();
    }
  }
  dm_.reset();
  LogEvent(AnsiFromUtf8("Обрабатывающий поток завершён"));
}

void TProcessingMgrThread::DropConnection() {
  // A fresh connection next time: the old one may be what failed. What it
  // had not committed (claims, results) is rolled back with it, so no claim
  // outlives the cycle that made it; those records claim and store again.
  dm_.reset();
  stored_.clear();
  PauseAfterFailure();
}

void TProcessingMgrThread::PauseAfterFailure() {
  failure_pause_ = std::clamp(failure_pause_ * 2, kFirstFailurePause, kLongestFailurePause);
  MutexLock lock(park_mu_);
  park_cv_.WaitFor(park_mu_, failure_pause_, [this] { return terminated_.load(); });
}

void TProcessingMgrThread::Cycle() {
  if (!SafePoint()) return;
  EnsureDM();
  if (LoadQueue(Now() - TASK_LIFETIME)) ProcessQueue();
  WaitForWork();
}

void TProcessingMgrThread::EnsureDM() {
  if (dm_ && !dm_->IB.Connected()) dm_.reset();
  if (!dm_) dm_ = CreateTaskDM(plugin_.settings.Get());
}

void TProcessingMgrThread::WaitForWork() {
  NamedEvent* event = NewTaskEvent();
  // Read before the checks: a pulse that comes after them ends the wait.
  const uint32_t seen = event != nullptr ? event->Generation() : 0;
  if (Terminated() || plugin_.task_queue.TakeWorkPending()) return;
  {
    MutexLock lock(park_mu_);
    if (paused_) return;  // parks at the next safe point instead
  }
  if (event != nullptr) {
    event->WaitSince(seen, kWaitLimit);
    return;
  }
  // Without the event this process's own tasks are seen within a second.
  MutexLock lock(park_mu_);
  park_cv_.WaitFor(park_mu_, 1s, [this] { return terminated_.load(); });
}

bool TProcessingMgrThread::LoadQueue(DateTime dt) {
  bool work = false;
  std::set<std::string> known;  // ids whose rows need no second read
  plugin_.task_queue.Locked([&](TaskQueue::Records& records) {
    for (auto it = records.end(); it != records.begin();) {
      --it;
      if (it->task.StartTime < dt) {
        it = records.erase(it);  // aged out, or a submission the table now speaks for
        continue;
      }
      if (it->task.StartTime > dt && !it->task.Skipped) work = true;
      known.insert(it->task.Id);
    }
  });

  // The rows are read without the lock: workers keep appending meanwhile.
  std::vector<TCryptoTask> rows = dm_->LoadNewTasks(dt, known);

  plugin_.task_queue.Locked([&](TaskQueue::Records& records) {
    for (TCryptoTask& row : rows) {
      const auto same =
          std::find_if(records.begin(), records.end(), [&](const QueuedTask& r) { return r.task.Id == row.Id; });
      if (same == records.end()) {
        records.push_back(QueuedTask{std::move(row)});
        work = true;
      } else if (same->task.StartTime == 0) {
        same->task = std::move(row);  // a submission made while the rows were read
        work = true;
      }
    }
  });
  return work;
}

void TProcessingMgrThread::ProcessQueue() {
  // Only records read from the table run; a fresh submission waits for the
  // next load, which brings its row.
  std::vector<TaskQueue::Records::iterator> run;
  plugin_.task_queue.Locked([&](TaskQueue::Records& records) {
    for (auto it = records.end(); it != records.begin();) {
      --it;
      if (!it->task.Skipped && it->task.StartTime != 0) run.push_back(it);
    }
  });
  for (const auto it : run) {
    // Results wait for a commit only briefly, and never across a pause or
    // a long task.
    if (!stored_.empty() && (Clock::now() - first_stored_ >= kResultCommitDelay || StopOrPauseAsked() ||
                             it->task.InData.size() >= kLargeInput))
      CommitStored();
    if (!SafePoint()) break;
    Outcome outcome = Outcome::kKeep;
    try {
      outcome = ProcessOne(*it);
    } catch (const std::exception& e) {
      if (IsDatabaseError(e)) throw;  // the cycle's failure; the record is retried
      LogError("task " + it->task.Id + ": " + e.what());
      if (it->claimed) dm_->ReleaseTask(it->task.Id);  // a skipped task is not left claimed
      outcome = Outcome::kSkip;
    }
    // A skipped record is never run again: only its id and age matter now.
    if (outcome == Outcome::kSkip) ReleaseInput(it->task);
    if (outcome == Outcome::kStored) {
      if (stored_.empty()) first_stored_ = Clock::now();
      stored_.push_back(it);
    }
    plugin_.task_queue.Locked([&](TaskQueue::Records& records) {
      if (outcome == Outcome::kRemove)
        records.erase(it);
      else if (outcome == Outcome::kSkip)
        it->task.Skipped = true;
    });
  }
  CommitStored();
}

void TProcessingMgrThread::CommitStored() {
  if (stored_.empty()) return;
  dm_->CommitTran(true);  // the claims and results of the tasks stored since the last commit
  for (const auto it : stored_)
    LogDebug(AnsiFromUtf8("Криптозадание ") + it->task.Id + AnsiFromUtf8(" выполнено, статус ") +
             std::to_string(it->result_status));
  plugin_.task_queue.Locked([&](TaskQueue::Records& records) {
    for (const auto it : stored_) records.erase(it);
  });
  stored_.clear();
}

bool TProcessingMgrThread::StopOrPauseAsked() {
  MutexLock lock(park_mu_);
  return paused_ || terminated_.load();
}

TProcessingMgrThread::Outcome TProcessingMgrThread::ProcessOne(QueuedTask& record) {
  // Claims are never committed before their result: one this record still
  // notes went with the connection of a failed cycle.
  record.claimed = false;
  if (record.finished) {
    // A result the database refused before.
    if (!Claim(record)) return Outcome::kRemove;
    StoreResult(record);
    return Outcome::kStored;
  }
  TCryptoTask& task = record.task;
  std::string message;
  bool found = false;
  try {
    found = CheckTaskCertificate(task, message);
  } catch (const std::exception& e) {
    message = e.what();  // an input that is not what its type says
  }
  const bool names_certificate = NamesCertificate(task);
  if (!found && names_certificate && !allow_key_prompt_) return Outcome::kSkip;
  // Only the thread that holds a task asks about it: a thread of another
  // process that shares the table never puts the same question.
  if (!Claim(record)) return Outcome::kRemove;  // another thread runs it
  if (!found) {
    const KeyMediaAnswer answer = names_certificate ? AskKeyMediaFor(record) : KeyMediaAnswer::kNone;
    if (answer == KeyMediaAnswer::kTaskLost) return Outcome::kRemove;
    if (answer == KeyMediaAnswer::kNone) {
      if (names_certificate && no_http_) {
        dm_->ReleaseTask(task.Id);
        return Outcome::kSkip;
      }
      Finish(record, kTaskStatusError, std::move(message));
      return Outcome::kStored;
    }
  }
  return RunClaimed(record);
}

bool TProcessingMgrThread::Claim(QueuedTask& record) {
  if (record.claimed) return true;
  if (!dm_->ClaimTask(record.task.Id, /*commit=*/false)) return false;
  record.claimed = true;
  return true;
}

TProcessingMgrThread::KeyMediaAnswer TProcessingMgrThread::AskKeyMediaFor(QueuedTask& record) {
  // The person may take long, and the process may end meanwhile. The claim
  // stays uncommitted all that time, so the engine rolls it back with a
  // process that dies and the task waits again (for this process after a
  // restart, or for another one now). Results stored before share the
  // transaction: they are committed first, without the claim.
  if (!stored_.empty()) {
    dm_->ReleaseTask(record.task.Id);
    record.claimed = false;
    CommitStored();
    if (!Claim(record)) return KeyMediaAnswer::kTaskLost;  // another thread took it meanwhile
  }
  return AskKeyMedia(record.task, plugin_.providers.Get()) ? KeyMediaAnswer::kMediaFound : KeyMediaAnswer::kNone;
}

TProcessingMgrThread::Outcome TProcessingMgrThread::RunClaimed(QueuedTask& record) {
  TCryptoTask& task = record.task;
  uint8_t status = kTaskStatusError;
  std::string result;
  for (;;) {
    try {
      if (ExecuteTask(task, plugin_.certificate_manager)) {
        status = kTaskStatusSuccess;
        result = std::move(task.Result);
      } else {
        result = TaskExecutionFailedText();
      }
      break;
    } catch (const std::exception& e) {
      // The database failing is the cycle's failure, never the task's: the
      // task is run again once the database is back.
      if (IsDatabaseError(e)) throw;
      if (IsMissingKeyError(e) && allow_key_prompt_ && NamesCertificate(task)) {
        const KeyMediaAnswer answer = AskKeyMediaFor(record);
        if (answer == KeyMediaAnswer::kTaskLost) return Outcome::kRemove;
        if (answer == KeyMediaAnswer::kMediaFound) continue;
      }
      result = e.what();
      break;
    } catch (...) {
      result = "unknown exception";
      break;
    }
  }
  // Stored outside the task's own failures: a database that cannot take
  // the result fails the cycle, and the record keeps the result to store
  // it again.
  Finish(record, status, std::move(result));
  return Outcome::kStored;
}

void TProcessingMgrThread::Finish(QueuedTask& record, uint8_t status, std::string result) {
  ReleaseInput(record.task);
  record.task.Result = std::move(result);
  record.result_status = status;
  record.finished = true;
  StoreResult(record);
}

void TProcessingMgrThread::StoreResult(QueuedTask& record) {
  // Committed with the claim by CommitStored.
  dm_->SetTaskResult(record.task.Id, record.result_status, record.task.Result, /*commit=*/false);
}

}  // namespace zuntar
