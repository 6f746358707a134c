// TProcessingMgrThread: the one background thread that runs stored crypto
// tasks.
//
// Each cycle it refills the process's queue (task_queue.h) with the tasks of
// the last 30 minutes that still wait (status 0), runs them, most recent
// first, and stores their results; then it waits on the new-task event for
// at most 60 s. A task is claimed in the table before it runs or is asked
// about, so several processes sharing the table run it once; the claim is
// committed only with the result (the results of a busy run in small
// groups), so a process that ends mid-task, even while the person is asked
// for key media, leaves it waiting. One failing task never blocks the
// others: whatever it raises becomes its result. A failing database is retried with a growing
// pause and a fresh connection; the thread only ends when told to.
//
// Pause is cooperative: the thread parks at its next safe point (before a
// load, between two tasks) and stays there until Resume or Terminate.
#pragma once

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <thread>
#include <vector>

#include "platform/date_time.h"
#include "platform/thread_annotations.h"
#include "tasks/plugin_context.h"

namespace zuntar {

class TDM;

class TProcessingMgrThread {
 public:
  // How long the thread waits for the new-task event at most.
  static constexpr std::chrono::milliseconds kWaitLimit{60000};

  // Starts the thread at once, on the queue and the certificate manager of
  // `plugin`, which must outlive it. `no_http` (FNoHttp): the plugin runs
  // without its HTTP front end, so a task whose certificate is missing is
  // left waiting instead of failed. `allow_key_prompt` (FAllowKeyPrompt):
  // the person at the desktop may be asked for key media (application mode).
  TProcessingMgrThread(PluginContext& plugin, bool no_http, bool allow_key_prompt);
  // Terminates and waits.
  ~TProcessingMgrThread();
  TProcessingMgrThread(const TProcessingMgrThread&) = delete;
  TProcessingMgrThread& operator=(const TProcessingMgrThread&) = delete;

  // Asks the thread to end; it does after the task it runs now.
  void Terminate();
  // Waits until the thread has ended.
  void WaitFor();
  void Suspend();
  void Resume();

  // Whether the thread is parked by Suspend now, for tests and diagnostics.
  bool Parked();

 private:
  using Clock = std::chrono::steady_clock;
  // kStored: the result waits in the open transaction for CommitStored.
  enum class Outcome { kRemove, kSkip, kKeep, kStored };
  // kTaskLost: another thread took the task while its claim was given back
  // for a moment; it is not this thread's to ask about or run.
  enum class KeyMediaAnswer { kNone, kMediaFound, kTaskLost };

  // One load of the queue: drops records older than `dt`, appends the rows
  // still waiting that started after it. True when there is work.
  bool LoadQueue(DateTime dt);
  // Runs every record of the queue that is not skipped, last to first.
  void ProcessQueue();

  void Execute();
  void Cycle();
  void EnsureDM();
  Outcome ProcessOne(QueuedTask& record);
  // Takes the record's row for this thread; false when it is not ours.
  bool Claim(QueuedTask& record);
  // The key-media question for a task this thread has claimed.
  KeyMediaAnswer AskKeyMediaFor(QueuedTask& record);
  Outcome RunClaimed(QueuedTask& record);
  // Stores the outcome: the task's status, and its result or message.
  void Finish(QueuedTask& record, uint8_t status, std::string result);
  void StoreResult(QueuedTask& record);
  // Commits the results stored since the last commit, then drops their
  // records.
  void CommitStored();
  bool StopOrPauseAsked();
  void WaitForWork();
  // False when the thread must end; parks while paused.
  bool SafePoint();
  // After a failed cycle: the connection and what it had not committed
  // are dropped, then the growing pause.
  void DropConnection();
  void PauseAfterFailure();
  bool Terminated() const { return terminated_.load(); }

  PluginContext& plugin_;
  const bool no_http_;
  const bool allow_key_prompt_;
  std::unique_ptr<TDM> dm_;  // FDM
  std::vector<std::list<QueuedTask>::iterator> stored_;  // results not yet committed
  Clock::time_point first_stored_;
  std::atomic<bool> terminated_{false};
  std::chrono::milliseconds failure_pause_{0};

  Mutex park_mu_;
  CondVar park_cv_;
  bool paused_ GUARDED_BY(park_mu_) = false;
  bool parked_ GUARDED_BY(park_mu_) = false;

  std::thread thread_;
};

}  // namespace zuntar
