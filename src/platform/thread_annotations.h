// Clang's thread-safety attributes, and a mutex that carries them, so the
// compiler checks which lock guards what (-Wthread-safety in clang builds).
// Other compilers see plain code.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

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
#define ACQUIRE_SHARED(...) ZUNTAR_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) ZUNTAR_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
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

// std::shared_mutex with the capability attribute: many readers or one
// writer.
class CAPABILITY("mutex") SharedMutex {
 public:
  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }
  void lock_shared() ACQUIRE_SHARED() { mu_.lock_shared(); }
  void unlock_shared() RELEASE_SHARED() { mu_.unlock_shared(); }

 private:
  std::shared_mutex mu_;
};

// Holds a SharedMutex for writing for its scope.
class SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~WriterLock() RELEASE() { mu_.unlock(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  SharedMutex& mu_;
};

// Holds a SharedMutex for reading for its scope.
class SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& mu) ACQUIRE_SHARED(mu) : mu_(mu) { mu_.lock_shared(); }
  ~ReaderLock() RELEASE() { mu_.unlock_shared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& mu_;
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
  // One wait of at most `limit`, or until `deadline`: false when the time
  // ran out. The caller checks what it waits for again either way.
  template <typename Rep, typename Period>
  bool WaitFor(Mutex& mu, std::chrono::duration<Rep, Period> limit) REQUIRES(mu) {
    return cv_.wait_for(mu, limit) == std::cv_status::no_timeout;
  }
  template <typename Clock, typename Duration>
  bool WaitUntil(Mutex& mu, std::chrono::time_point<Clock, Duration> deadline) REQUIRES(mu) {
    return cv_.wait_until(mu, deadline) == std::cv_status::no_timeout;
  }
  void NotifyAll() { cv_.notify_all(); }

 private:
  std::condition_variable_any cv_;
};

}  // namespace zuntar
