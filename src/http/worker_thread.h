// A joinable thread with a 1 MiB stack, for the HTTP workers.
//
// Workers come and go with the load, and glibc keeps freed thread stacks
// for reuse up to 40 MiB in all: that holds five default 8 MiB stacks but
// forty of these, so a new worker usually starts on a cached stack instead
// of a fresh mapping.
#pragma once

#include <pthread.h>

#include <functional>
#include <memory>
#include <system_error>
#include <utility>

namespace zuntar {

class WorkerThread {
 public:
#ifdef __SANITIZE_ADDRESS__
  static constexpr size_t kStackSize = 4 << 20;  // instrumented frames are several times larger
#else
  static constexpr size_t kStackSize = 1 << 20;
#endif

  WorkerThread() = default;
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Throws std::system_error when the system has no thread for it.
  void Start(std::function<void()> body) {
    auto heap_body = std::make_unique<std::function<void()>>(std::move(body));
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kStackSize);
    const int rc = pthread_create(&thread_, &attr, &Run, heap_body.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) throw std::system_error(rc, std::generic_category(), "pthread_create");
    heap_body.release();  // the thread owns it now
    started_ = true;
  }

  bool joinable() const { return started_; }
  void join() {
    pthread_join(thread_, nullptr);
    started_ = false;
  }

 private:
  static void* Run(void* arg) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    (*body)();
    return nullptr;
  }

  pthread_t thread_{};
  bool started_ = false;
};

}  // namespace zuntar
