// Clang's thread-safety attributes, and a mutex that carries them, so the
// compiler checks which lock guards what (-Wthread-safety in clang builds).
// Other compilers see plain code.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define ZUNTAR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZUNTAR_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) ZUNTAR_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY ZUNTAR_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) ZUNTAR_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) ZUNTAR_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) ZUNTAR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) ZUNTAR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ZUNTAR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) ZUNTAR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) ZUNTAR_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS ZUNTAR_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace zuntar {

// std::mutex with the capability attribute (libstdc++'s has none).
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }

 private:
  std::mutex mu_;
};

// Holds a Mutex for its scope, as std::lock_guard does.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~MutexLock() RELEASE() { mu_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mu_;
};

// A condition variable for a Mutex: each wait is entered and left with the
// mutex held, and releases it while it waits.
class CondVar {
 public:
  void Wait(Mutex& mu) REQUIRES(mu) { cv_.wait(mu); }
  // Until `pred` holds or `limit` passed; whether `pred` holds. `pred` runs
  // with the mutex held but is not checked for it: it must read nothing
  // the mutex guards (an atomic flag, say).
  template <typename Rep, typename Period, typename Pred>
  bool WaitFor(Mutex& mu, std::chrono::duration<Rep, Period> limit, Pred pred) REQUIRES(mu) {
    return cv_.wait_for(mu, limit, pred);
  }
  void NotifyAll() { cv_.notify_all(); }

 private:
  std::condition_variable_any cv_;
};

}  // namespace zuntar
