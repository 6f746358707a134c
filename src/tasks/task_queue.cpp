#include "tasks/task_queue.h"

#include <memory>

#include "core/log.h"
#include "platform/named_event.h"
#include "tasks/task_dm.h"

namespace zuntar {

void TaskQueue::Add(TCryptoTask task) {
  MutexLock lock(mu_);
  records_.push_back(QueuedTask{std::move(task)});
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

void SignalNewTask(TaskQueue& queue) {
  queue.MarkWorkPending();
  if (NamedEvent* event = NewTaskEvent()) event->Pulse();
}

void QueueTask(TCryptoTask task, TDM& dm, TaskQueue& queue) {
  dm.SaveTask(task, kTaskStatusNew);
  // The stored row is what counts: the processing thread reads the task
  // back from the table, so the record only needs to say that work came.
  ReleaseInput(task);
  queue.Add(std::move(task));
  SignalNewTask(queue);
}

}  // namespace zuntar
