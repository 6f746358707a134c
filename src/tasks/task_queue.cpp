#include "tasks/task_queue.h"

#include <memory>

#include "core/log.h"
#include "platform/named_event.h"
#include "tasks/task_dm.h"

namespace zuntar {

void TaskQueue::Add(TCryptoTask task) {
  std::lock_guard lock(mu_);
  records_.push_back(QueuedTask{std::move(task)});
}

TaskQueue& TheTaskQueue() {
  static TaskQueue* queue = new TaskQueue;  // lives until the process ends, as the threads may
  return *queue;
}

NamedEvent* NewTaskEvent() {
  static NamedEvent* event = []() -> NamedEvent* {
    try {
      return new NamedEvent(kNewTaskEventName);
    } catch (const std::exception& e) {
      LogError(std::string("The new-task event cannot be opened: ") + e.what());
      return nullptr;
    }
  }();
  return event;
}

void SignalNewTask() {
  TheTaskQueue().MarkWorkPending();
  if (NamedEvent* event = NewTaskEvent()) event->Pulse();
}

void QueueTask(TCryptoTask task, TDM& dm) {
  dm.SaveTask(task, kTaskStatusNew);
  // The stored row is what counts: the processing thread reads the task
  // back from the table, so the record only needs to say that work came.
  task.InData.clear();
  task.InData.shrink_to_fit();
  TheTaskQueue().Add(std::move(task));
  SignalNewTask();
}

}  // namespace zuntar
