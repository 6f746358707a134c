#include "http/http_server.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>

#include "core/log.h"
#include "http/fd_stream.h"
#include "http/http_connection.h"
#include "http/listen_socket.h"
#include "http/worker_thread.h"

namespace zuntar {

struct HttpServer::Worker {
  WorkerThread thread;
  UniqueFd epoll;  // the listening socket, while there is one, and `wake`
  UniqueFd wake;   // eventfd: a connection was handed over, or the server is ending
  // The worker thread's own.
  uint64_t listener_generation = 0;  // of the listening socket in `epoll`
  bool asked = false;                // has asked for a connection at least once
  Mutex mutex;
  std::optional<Accepted> next GUARDED_BY(mutex);  // a connection handed over while idle
  // The connection being served, owned by the thread: the destructor shuts it.
  int serving GUARDED_BY(mutex) = -1;
};

namespace {

constexpr uint32_t kWakeTag = 0;
constexpr uint32_t kListenerTag = 1;
constexpr auto kOutOfResourcesPause = std::chrono::milliseconds(10);

std::system_error SystemError(const char* what) { return std::system_error(errno, std::generic_category(), what); }

bool Watch(int epoll, int fd, uint32_t tag, uint32_t events) {
  epoll_event event{};
  event.events = events;
  event.data.u32 = tag;
  return ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) == 0;
}

// Every thread waiting on the listening socket does so exclusively: the
// kernel wakes the first of them that waits, in the order they began to
// watch it, rather than all of them.
bool WatchExclusively(int epoll, int listener) { return Watch(epoll, listener, kListenerTag, EPOLLIN | EPOLLEXCLUSIVE); }

UniqueFd NewEpoll() {
  UniqueFd fd(::epoll_create1(EPOLL_CLOEXEC));
  if (!fd.valid()) throw SystemError("epoll_create1");
  return fd;
}

UniqueFd NewEventFd() {
  UniqueFd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!fd.valid()) throw SystemError("eventfd");
  return fd;
}

void Signal(int eventfd) {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(eventfd, &one, sizeof one);
}

void ClearSignal(int eventfd) {
  uint64_t count;
  [[maybe_unused]] ssize_t n = ::read(eventfd, &count, sizeof count);
}

}  // namespace

HttpServer::HttpServer(const HttpServerOptions& options, HttpHandler& handler)
    : options_(options), handler_(handler) {
  Activate();
  keeper_ = std::thread(&HttpServer::KeeperLoop, this);
}

HttpServer::~HttpServer() {
  Deactivate();  // once it returns, nothing admits connections any more
  {
    MutexLock lock(mutex_);
    shutting_down_ = true;
    for (Worker& w : workers_) {
      MutexLock worker_lock(w.mutex);
      if (w.serving >= 0) ::shutdown(w.serving, SHUT_RDWR);  // wakes a worker blocked on its client
      Signal(w.wake.get());
    }
    idle_.clear();
    RefusePending();
  }
  keeper_cv_.NotifyAll();
  keeper_.join();
  // Without the keeper nothing adds or removes workers; the ending ones
  // still take the lock, so they are joined outside it.
  std::list<Worker> workers;
  {
    MutexLock lock(mutex_);
    workers.splice(workers.end(), workers_);
  }
  for (Worker& w : workers)
    if (w.thread.joinable()) w.thread.join();
}

void HttpServer::Activate() {
  if (acceptor_.joinable()) return;
  // Once a port was chosen it is kept, so listening resumes where it was.
  UniqueFd listener = OpenListener(options_.address, port_ != 0 ? port_ : options_.port, options_.listen_queue);
  port_ = BoundPort(listener.get());  // the chosen one when asked for port 0
  SetReceiveTimeout(listener.get(), FirstReadTimeout(options_));  // for the sockets it accepts
  UniqueFd epoll = NewEpoll();
  UniqueFd wake = NewEventFd();
  if (!Watch(epoll.get(), wake.get(), kWakeTag, EPOLLIN) || !WatchExclusively(epoll.get(), listener.get()))
    throw SystemError("epoll_ctl");
  {
    WriterLock lock(listening_mutex_);
    listener_ = std::move(listener);
    ++listener_generation_;
  }
  accept_epoll_ = std::move(epoll);
  wake_ = std::move(wake);
  acceptor_ = std::thread(&HttpServer::AcceptLoop, this);
  WakeIdleWorkers();  // so that they watch the new socket
}

void HttpServer::Deactivate() {
  if (!acceptor_.joinable()) return;
  Signal(wake_.get());
  acceptor_.join();
  {
    WriterLock lock(listening_mutex_);
    listener_.reset();
  }
  accept_epoll_.reset();
  wake_.reset();
}

bool HttpServer::active() const { return acceptor_.joinable(); }

void HttpServer::WakeIdleWorkers() {
  MutexLock lock(mutex_);
  for (Worker* w : idle_) Signal(w->wake.get());
}

void HttpServer::AcceptLoop() {
  epoll_event events[2];
  for (;;) {
    const int n = ::epoll_wait(accept_epoll_.get(), events, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      LogError(std::string("HTTP listener stopped: ") + std::strerror(errno));
      return;
    }
    for (int i = 0; i < n; ++i)
      if (events[i].data.u32 == kWakeTag) return;
    const Drained drained = AcceptQueued();
    if (drained == Drained::kOutOfResources) {
      std::this_thread::sleep_for(kOutOfResourcesPause);
    } else if (drained == Drained::kHandedOver) {
      // Woken although a worker was idle: this thread began to watch the
      // socket before that worker did. Watching it anew puts it behind.
      ReaderLock lock(listening_mutex_);
      ::epoll_ctl(accept_epoll_.get(), EPOLL_CTL_DEL, listener_.get(), nullptr);
      WatchExclusively(accept_epoll_.get(), listener_.get());
    }
  }
}

// Takes every connection the listen queue holds and admits it. Never
// blocks: the accepting thread does this when it wakes, and the keeper
// between the threads it makes.
HttpServer::Drained HttpServer::AcceptQueued() {
  Drained drained = Drained::kEmpty;
  ReaderLock lock(listening_mutex_);
  if (!listener_.valid()) return drained;
  for (;;) {
    Accepted c;
    c.fd = AcceptFrom(listener_.get(), c.peer);
    if (!c.fd.valid()) return IsOutOfResources(errno) ? Drained::kOutOfResources : drained;
    if (Admit(std::move(c))) drained = Drained::kHandedOver;
  }
}

// One connection from the listen queue for a worker that is running
// already. Never blocks; leaves the rest of the queue to the accepting
// thread, and takes nothing when the limit is reached.
HttpServer::Taken HttpServer::AcceptOne(Accepted& connection) {
  ReaderLock lock(listening_mutex_);
  if (!listener_.valid()) return Taken::kNone;
  connection.fd = AcceptFrom(listener_.get(), connection.peer);
  if (!connection.fd.valid()) return IsOutOfResources(errno) ? Taken::kOutOfResources : Taken::kNone;
  if (CountConnection()) return Taken::kTaken;
  RefuseConnection(std::move(connection.fd));
  return Taken::kNone;
}

// Counts a new connection unless the limit is reached.
bool HttpServer::CountConnection() {
  const size_t limit = options_.max_connections > 0 ? static_cast<size_t>(options_.max_connections) : 0;
  size_t n = connections_.load();
  do {
    if (limit != 0 && n >= limit) return false;
  } while (!connections_.compare_exchange_weak(n, n + 1));
  return true;
}

// Refuses the connection beyond the limit, else hands it to an idle worker
// (true) or queues it for the next free one.
bool HttpServer::Admit(Accepted connection) {
  if (!CountConnection()) {
    RefuseConnection(std::move(connection.fd));
    return false;
  }
  Worker* idle = nullptr;
  bool want_spare = false;
  {
    MutexLock lock(mutex_);
    if (idle_.empty()) {
      pending_.push_back(std::move(connection));
      pending_count_ = pending_.size();
    } else {
      idle = idle_.back();
      idle_.pop_back();
    }
    want_spare = SparesWanted() > 0;
  }
  if (idle != nullptr) {
    // Off the idle list, it waits for this hand-over and cannot end before.
    MutexLock lock(idle->mutex);
    idle->next = std::move(connection);
    Signal(idle->wake.get());  // under its lock: once released, the worker may end and be freed
  }
  if (want_spare) keeper_cv_.NotifyAll();
  return idle != nullptr;
}

// One worker waiting idle, and one for every connection waiting for a
// worker, less the workers on their way. The idle one is not made when
// workers enough for every connection the limit allows are there already.
size_t HttpServer::SparesWanted() const {
  if (shutting_down_ || !idle_.empty()) return 0;
  const size_t limit = options_.max_connections > 0 ? static_cast<size_t>(options_.max_connections) : 0;
  const size_t wanted = pending_.size() + (limit == 0 || live_ <= limit ? 1 : 0);
  return wanted > starting_ ? wanted - starting_ : 0;
}

void HttpServer::KeeperLoop() {
  MutexLock lock(mutex_);
  bool start_failed = false;
  while (!shutting_down_) {
    if (start_failed) {
      // Try again later rather than at every connection.
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
      while (!shutting_down_ && ended_.empty() && keeper_cv_.WaitUntil(mutex_, until)) {
      }
    } else {
      while (!shutting_down_ && ended_.empty() && SparesWanted() == 0) keeper_cv_.Wait(mutex_);
    }
    start_failed = false;
    if (!ended_.empty()) JoinEndedWorkers();
    while (SparesWanted() > 0 && !start_failed) start_failed = !StartWorker();
  }
}

bool HttpServer::StartWorker() {
  ++starting_;
  ++live_;
  mutex_.unlock();
  // Making threads takes a while, and on a busy processor it may keep the
  // accepting thread waiting; the queue is emptied here too meanwhile.
  AcceptQueued();
  std::list<Worker> made;  // out of the others' sight until its descriptors are there
  Worker& w = made.emplace_back();
  std::optional<std::system_error> failure;
  try {
    w.epoll = NewEpoll();
    w.wake = NewEventFd();
    if (!Watch(w.epoll.get(), w.wake.get(), kWakeTag, EPOLLIN)) throw SystemError("epoll_ctl");
    {
      MutexLock lock(mutex_);
      workers_.splice(workers_.end(), made);
    }
    w.thread.Start([this, &w] { WorkerMain(&w); });
  } catch (const std::system_error& e) {
    failure = e;
  }
  mutex_.lock();
  if (!failure) return true;
  --starting_;
  --live_;
  if (made.empty()) workers_.pop_back();  // only this thread adds or removes workers
  // No worker for the waiting connections: they are refused like those
  // over the limit, rather than left waiting for one that may never come.
  RefusePending();
  mutex_.unlock();
  LogError(std::string("HTTP worker: ") + failure->what());
  mutex_.lock();
  return false;
}

void HttpServer::RefusePending() {
  for (Accepted& c : pending_) {
    RefuseConnection(std::move(c.fd));
    --connections_;
  }
  pending_.clear();
  pending_count_ = 0;
}

void HttpServer::JoinEndedWorkers() {
  std::list<Worker> ended;
  for (auto it = workers_.begin(); it != workers_.end();) {
    auto next = std::next(it);
    if (std::find(ended_.begin(), ended_.end(), &*it) != ended_.end()) ended.splice(ended.end(), workers_, it);
    it = next;
  }
  ended_.clear();
  mutex_.unlock();  // an ending thread may still be on its way out
  for (Worker& w : ended) w.thread.join();
  ended.clear();
  mutex_.lock();
}

void HttpServer::WorkerMain(Worker* self) {
  std::unique_ptr<WorkerState> state;
  try {
    state = handler_.NewWorkerState();
  } catch (const std::exception& e) {
    LogError(std::string("HTTP worker start: ") + e.what());
  }
  if (!state) state = std::make_unique<WorkerState>();
  const std::function<void()> release_slot = [this] { --connections_; };
  Accepted connection;
  while (NextConnection(self, connection)) {
    ServeConnection(connection.fd.get(), connection.peer, options_, handler_, *state, release_slot);
    EndConnection(self, connection);
    if (state->stop_thread || options_.pool_size <= 0) break;
  }
  state.reset();  // per-thread resources end on their own thread
  MutexLock lock(mutex_);
  ended_.push_back(self);
  --live_;
  keeper_cv_.NotifyAll();
}

// The next connection for `self`: one waiting for a worker, one in the
// listen queue, or one that comes while it waits idle. False when the
// worker is to end: the server is shutting down, or it stayed idle beyond
// the pool size for the linger time.
bool HttpServer::NextConnection(Worker* self, Accepted& connection) {
  if (!self->asked) {
    self->asked = true;
    MutexLock lock(mutex_);
    --starting_;
  }
  if (shutting_down_) return false;
  if (pending_count_ > 0 && TakePending(connection)) return BeginConnection(self, connection);
  if (AcceptOne(connection) == Taken::kTaken) return BeginConnection(self, connection);
  return WaitIdle(self, connection) && BeginConnection(self, connection);
}

bool HttpServer::TakePending(Accepted& connection) {
  MutexLock lock(mutex_);
  return TakePendingLocked(connection);
}

bool HttpServer::TakePendingLocked(Accepted& connection) {
  if (pending_.empty()) return false;
  connection = std::move(pending_.front());
  pending_.pop_front();
  pending_count_ = pending_.size();
  return true;
}

// Back on the idle list, unless a connection is waiting for a worker
// (true: it is taken) or the server is shutting down.
bool HttpServer::BecomeIdle(Worker* self, Accepted& connection, bool& ending) {
  MutexLock lock(mutex_);
  ending = shutting_down_;
  if (ending) return false;
  if (TakePendingLocked(connection)) return true;
  idle_.push_back(self);
  return false;
}

// Waits on the listening socket and for a hand-over, as one of the idle.
bool HttpServer::WaitIdle(Worker* self, Accepted& connection) {
  bool ending = false;
  if (BecomeIdle(self, connection, ending)) return true;
  if (ending) return false;
  const size_t keep = static_cast<size_t>(std::max(options_.pool_size, 1));
  const int linger_ms = static_cast<int>(options_.idle_linger.count());
  for (;;) {
    WatchListener(self);
    epoll_event events[2];
    const int n = ::epoll_wait(self->epoll.get(), events, 2, linger_ms);
    bool connection_waiting = false;
    for (int i = 0; i < n; ++i) {
      if (events[i].data.u32 == kWakeTag)
        ClearSignal(self->wake.get());
      else
        connection_waiting = true;
    }
    {
      MutexLock own(self->mutex);
      if (self->next) {
        connection = std::move(*self->next);
        self->next.reset();
        return true;
      }
    }
    if (shutting_down_) return false;
    if (connection_waiting && LeaveIdle(self)) {
      const Taken taken = AcceptOne(connection);
      if (taken == Taken::kTaken) return true;
      if (taken == Taken::kOutOfResources) std::this_thread::sleep_for(kOutOfResourcesPause);
      if (BecomeIdle(self, connection, ending)) return true;  // another thread was quicker
      if (ending) return false;
    } else if (n == 0) {
      MutexLock lock(mutex_);
      auto it = std::find(idle_.begin(), idle_.end(), self);
      if (it != idle_.end() && idle_.size() > keep) {
        idle_.erase(it);
        return false;
      }
    }
  }
}

// Takes `self` off the idle list to serve a connection it saw coming; false
// when the accepting thread took it off already, to hand it one.
bool HttpServer::LeaveIdle(Worker* self) {
  bool want_spare = false;
  {
    MutexLock lock(mutex_);
    auto it = std::find(idle_.begin(), idle_.end(), self);
    if (it == idle_.end()) return false;
    idle_.erase(it);
    want_spare = SparesWanted() > 0;
  }
  if (want_spare) keeper_cv_.NotifyAll();
  return true;
}

// Puts the current listening socket into the worker's epoll set once per
// Activate; closing a socket takes it out by itself.
void HttpServer::WatchListener(Worker* self) {
  if (self->listener_generation == listener_generation_) return;
  ReaderLock lock(listening_mutex_);
  if (listener_.valid()) WatchExclusively(self->epoll.get(), listener_.get());
  self->listener_generation = listener_generation_;
}

// Marks `connection` as served by `self`, so that the destructor can end a
// blocked read; false, with the connection closed, when the server is
// shutting down.
bool HttpServer::BeginConnection(Worker* self, Accepted& connection) {
  {
    MutexLock own(self->mutex);
    self->serving = connection.fd.get();
  }
  if (!shutting_down_) return true;  // seen after the destructor set it: it may not have seen `serving`
  EndConnection(self, connection);
  --connections_;
  return false;
}

// Closes the connection once the destructor can no longer shut it.
void HttpServer::EndConnection(Worker* self, Accepted& connection) {
  {
    MutexLock own(self->mutex);
    self->serving = -1;
  }
  connection.fd.reset();
}

size_t HttpServer::WorkerCount() {
  MutexLock lock(mutex_);
  return workers_.size() - ended_.size();
}

size_t HttpServer::IdleWorkerCount() {
  MutexLock lock(mutex_);
  return idle_.size();
}

size_t HttpServer::ActiveConnectionCount() { return connections_.load(); }

}  // namespace zuntar
