// The processing thread's queue of pending crypto tasks, and the event that
// wakes it.
//
// HTTP workers store a task and append its record (QueueTask); the
// processing thread refills the queue from the table, runs what it holds and
// removes what is done. The lock guards the list alone: no task runs and no
// question waits while it is held, so a worker queuing a task never waits
// behind a running one. Only the processing thread removes records, so the
// iterators it keeps stay valid while workers append.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "platform/thread_annotations.h"
#include "tasks/crypto_task.h"

namespace zuntar {

class NamedEvent;
class TDM;

inline constexpr char kNewTaskEventName[] = "Global\\MervoPluginNewTask";

// A task in the queue and how far the processing thread got with it.
struct QueuedTask {
  TCryptoTask task;
  bool claimed = false;   // its row is taken for this thread (status 1, not committed yet)
  bool finished = false;  // result_status and task.Result wait to be stored
  uint8_t result_status = 0;
};

class TaskQueue {
 public:
  using Records = std::list<QueuedTask>;

  // Appends a record; the queue owns it from now on.
  void Add(TCryptoTask task);

  // Runs `f` on the records with the lock held. `f` must be short: no
  // database, no crypto, no question.
  template <typename F>
  auto Locked(F f) {
    MutexLock lock(mu_);
    return f(records_);
  }

  // New work arrived in this process since the processing thread last
  // looked: a pulse that came while it was not waiting is not lost.
  void MarkWorkPending() { work_pending_.store(true); }
  bool TakeWorkPending() { return work_pending_.exchange(false); }

 private:
  Mutex mu_;
  Records records_ GUARDED_BY(mu_);
  std::atomic<bool> work_pending_{false};
};

// The named event every processing thread of the machine waits on; null when
// it cannot be opened (the thread then polls).
NamedEvent* NewTaskEvent();

// Wakes the processing thread of `queue` and those of the other processes
// that share the table.
void SignalNewTask(TaskQueue& queue);

// Asynchronous submission: the task is stored with status 0 on the caller's
// module, its record appended to `queue` and the processing threads woken.
// A failure to store leaves the queue untouched and reaches the caller.
void QueueTask(TCryptoTask task, TDM& dm, TaskQueue& queue);

}  // namespace zuntar
