// A named event shared by the processes of the machine, as the processing
// thread waits on it and HTTP workers pulse it. A "Global\" event reaches
// every process of the same user (the processes that may share a task
// database); only an object of the user's own is ever mapped.
//
// It lives in a POSIX shared-memory object holding a generation counter
// that is also a futex word. Pulse bumps the generation and wakes every
// waiter; a waiter returns when the generation changes or its time-out
// passes. A pulse nobody waits for is lost, as with the platform's
// PulseEvent. The object outlives its handles (another process may wait on
// it).
//
// A process-shared condition variable would be the obvious tool, but it
// keeps books on its waiters inside the shared memory: a waiter killed
// while waiting never settles them, and the next broadcast from any process
// blocks for ever. The futex word keeps nothing per waiter, so a killed
// process leaves nothing behind.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/exception.h"

namespace zuntar {

// The shared-memory object of an event could not be opened or created.
ZUNTAR_DEFINE_EXCEPTION(ENamedEventError, Exception);

// The layout of the shared-memory object.
struct NamedEventShared;

class NamedEvent {
 public:
  // Waits without limit when given to Wait.
  static constexpr std::chrono::milliseconds kInfinite = std::chrono::milliseconds::max();

  // Opens the event `name` ("Global\Name", "Local\Name" or "Name"),
  // creating it when no process has it yet. Throws ENamedEventError.
  explicit NamedEvent(const std::string& name);
  ~NamedEvent();
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  // Wakes every thread that waits on the event now, in any process.
  void Pulse();
  // True when a pulse came within `timeout`, false when it passed.
  bool Wait(std::chrono::milliseconds timeout);

  // The count of pulses so far. A waiter that reads it before checking its
  // own conditions and then waits with WaitSince misses no pulse that came
  // in between.
  uint32_t Generation() const;
  // True at once when a pulse came after `generation` was read, else as Wait.
  bool WaitSince(uint32_t generation, std::chrono::milliseconds timeout);

  // Removes the shared-memory object of `name`; handles already open keep
  // working, later opens get a new object. For tests and clean-up.
  static void Remove(const std::string& name);

 private:
  NamedEventShared* shared_ = nullptr;
};

// The shared-memory name of an event: "Global\" names are one object for
// the whole machine, other names one per user (the platform's per-session
// namespace). A private platform root gets objects of its own.
std::string NamedEventShmName(const std::string& name);

}  // namespace zuntar
