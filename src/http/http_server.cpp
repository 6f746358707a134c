#include "http/http_server.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>

#include "core/log.h"
#include "http/http_connection.h"
#include "http/worker_thread.h"

namespace zuntar {

struct HttpServer::Worker {
  WorkerThread thread;
  // Its own lock, for `fd`, `next` and `handed`.
  std::mutex mutex;
  std::condition_variable handed;  // `next` was set, or the server is shutting down
  std::optional<Accepted> next;    // a connection handed over while idle
  int fd = -1;                     // the connection being served: the destructor shuts it
  // Under the server's mutex.
  bool asked = false;  // has asked for a connection at least once
  bool done = false;
};

namespace {

std::system_error SocketError(const char* what) { return std::system_error(errno, std::generic_category(), what); }

// Opens a non-blocking listening socket on every address of `family`, or
// returns an invalid descriptor when the machine has no such family.
UniqueFd Listen(int family, int port, int backlog) {
  UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) {
    if (family == AF_INET6 && (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT)) return {};
    throw SocketError("socket");
  }
  const int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_storage addr{};
  socklen_t size = 0;
  if (family == AF_INET) {
    auto& a = reinterpret_cast<sockaddr_in&>(addr);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    size = sizeof a;
  } else {
    ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);  // IPv4 has its own socket
    auto& a = reinterpret_cast<sockaddr_in6&>(addr);
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    a.sin6_addr = in6addr_any;
    size = sizeof a;
  }
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), size) != 0) {
    if (family == AF_INET6 && errno == EADDRNOTAVAIL) return {};
    throw SocketError("bind");
  }
  if (::listen(fd.get(), backlog) != 0) throw SocketError("listen");
  return fd;
}

int BoundPort(int fd) {
  sockaddr_storage addr{};
  socklen_t size = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
  return addr.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6&>(addr).sin6_port)
                                    : ntohs(reinterpret_cast<sockaddr_in&>(addr).sin_port);
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
    std::lock_guard lock(mutex_);
    shutting_down_ = true;
    for (Worker& w : workers_) {
      std::lock_guard worker_lock(w.mutex);
      if (w.fd >= 0) ::shutdown(w.fd, SHUT_RDWR);  // wakes a worker blocked on its client
      w.handed.notify_one();
    }
    idle_.clear();
    RefusePending();
  }
  keeper_cv_.notify_one();
  keeper_.join();
  for (Worker& w : workers_)
    if (w.thread.joinable()) w.thread.join();
}

void HttpServer::Activate() {
  if (acceptor_.joinable()) return;
  std::vector<UniqueFd> listeners;
  // Once a port was chosen it is kept, so listening resumes where it was.
  listeners.push_back(Listen(AF_INET, port_ != 0 ? port_ : options_.port, options_.listen_queue));
  port_ = BoundPort(listeners.front().get());  // the chosen one when asked for port 0
  if (UniqueFd v6 = Listen(AF_INET6, port_, options_.listen_queue); v6.valid())
    listeners.push_back(std::move(v6));
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC));
  if (!wake.valid()) throw SocketError("eventfd");
  {
    std::lock_guard lock(listening_mutex_);
    listeners_ = std::move(listeners);
  }
  wake_ = std::move(wake);
  acceptor_ = std::thread(&HttpServer::AcceptLoop, this);
}

void HttpServer::Deactivate() {
  if (!acceptor_.joinable()) return;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
  acceptor_.join();
  {
    std::lock_guard lock(listening_mutex_);
    listeners_.clear();
  }
  wake_.reset();
}

bool HttpServer::active() const { return acceptor_.joinable(); }

void HttpServer::AcceptLoop() {
  std::vector<pollfd> fds;
  for (const UniqueFd& l : listeners_) fds.push_back({l.get(), POLLIN, 0});
  fds.push_back({wake_.get(), POLLIN, 0});
  for (;;) {
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      LogError(std::string("HTTP listener stopped: ") + std::strerror(errno));
      return;
    }
    if (fds.back().revents != 0) return;
    if (AcceptQueued(nullptr) == AcceptResult::kOutOfResources) {
      // Out of descriptors or memory: the queue stays full until
      // connections end; polling it again at once would only spin.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

// Takes every connection the listen queues hold. With `mine`, the first one
// admitted is kept there for the caller; the others are admitted as the
// accepting thread admits them. Never blocks: any thread that runs (the
// accepting thread, the keeper, a worker) empties the queues this way.
HttpServer::AcceptResult HttpServer::AcceptQueued(Accepted* mine) {
  AcceptResult result = AcceptResult::kNone;
  std::shared_lock lock(listening_mutex_);
  for (const UniqueFd& listener : listeners_) {
    for (;;) {
      Accepted c;
      socklen_t size = sizeof c.peer;
      c.fd = ::accept4(listener.get(), reinterpret_cast<sockaddr*>(&c.peer), &size, SOCK_CLOEXEC);
      if (c.fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
          return AcceptResult::kOutOfResources;
        break;  // EAGAIN: the queue is empty
      }
      if (mine != nullptr && result != AcceptResult::kKept) {
        if (!CountConnection()) {
          ::close(c.fd);  // over the limit: refused without a reply
          continue;
        }
        *mine = c;
        result = AcceptResult::kKept;
      } else {
        Admit(c);
      }
    }
  }
  return result;
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

void HttpServer::Admit(const Accepted& connection) {
  if (!CountConnection()) {
    ::close(connection.fd);  // over the limit: refused without a reply
    return;
  }
  Worker* idle = nullptr;
  bool want_spare = false;
  {
    std::lock_guard lock(mutex_);
    if (idle_.empty()) {
      pending_.push_back(connection);
      pending_count_ = pending_.size();
    } else {
      idle = idle_.back();
      idle_.pop_back();
    }
    want_spare = SparesWanted() > 0;
  }
  if (idle != nullptr) {
    // Off the idle list, it waits for this hand-over and cannot end before.
    std::lock_guard lock(idle->mutex);
    idle->next = connection;
    idle->handed.notify_one();  // under its lock: once released, the worker may end and be freed
  }
  if (want_spare) keeper_cv_.notify_one();
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
  std::unique_lock lock(mutex_);
  bool start_failed = false;
  while (!shutting_down_) {
    if (start_failed) {
      // Try again later rather than at every connection.
      keeper_cv_.wait_for(lock, std::chrono::milliseconds(100), [this] { return shutting_down_ || worker_ended_; });
    } else {
      keeper_cv_.wait(lock, [this] { return shutting_down_ || worker_ended_ || SparesWanted() > 0; });
    }
    start_failed = false;
    if (worker_ended_) JoinEndedWorkers(lock);
    while (SparesWanted() > 0 && !start_failed) start_failed = !StartWorker(lock);
  }
}

bool HttpServer::StartWorker(std::unique_lock<std::mutex>& lock) {
  Worker& w = workers_.emplace_back();
  ++starting_;
  ++live_;
  lock.unlock();
  // Making threads takes a while, and on a busy processor it may keep the
  // accepting thread waiting; the queue is emptied here too meanwhile.
  AcceptQueued(nullptr);
  std::optional<std::system_error> failure;
  try {
    w.thread.Start([this, &w] { WorkerMain(&w); });
  } catch (const std::system_error& e) {
    failure = e;
  }
  lock.lock();
  if (!failure) return true;
  --starting_;
  --live_;
  workers_.pop_back();  // only this thread adds or removes workers
  // No worker for the waiting connections: they are refused like those
  // over the limit, rather than left waiting for one that may never come.
  RefusePending();
  lock.unlock();
  LogError(std::string("HTTP worker: ") + failure->what());
  lock.lock();
  return false;
}

void HttpServer::RefusePending() {
  for (const Accepted& c : pending_) {
    ::close(c.fd);
    --connections_;
  }
  pending_.clear();
  pending_count_ = 0;
}

void HttpServer::JoinEndedWorkers(std::unique_lock<std::mutex>& lock) {
  std::list<Worker> ended;
  for (auto it = workers_.begin(); it != workers_.end();) {
    auto next = std::next(it);
    if (it->done) ended.splice(ended.end(), workers_, it);
    it = next;
  }
  worker_ended_ = false;
  lock.unlock();  // an ending thread may still be on its way out
  for (Worker& w : ended) w.thread.join();
  ended.clear();
  lock.lock();
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
    ServeConnection(connection.fd, connection.peer, options_, handler_, *state, release_slot);
    EndConnection(self);
    if (state->stop_thread || options_.pool_size <= 0) break;
  }
  state.reset();  // per-thread resources end on their own thread
  std::lock_guard lock(mutex_);
  self->done = true;
  --live_;
  worker_ended_ = true;
  keeper_cv_.notify_one();
}

// The next connection for `self`: one waiting for a worker, one in a listen
// queue, or one handed over while it waits idle. False when the worker is to
// end: the server is shutting down, or it stayed idle beyond the pool size
// for the linger time.
bool HttpServer::NextConnection(Worker* self, Accepted& connection) {
  if (!self->asked) {
    std::lock_guard lock(mutex_);
    self->asked = true;
    --starting_;
  }
  if (shutting_down_) return false;
  if (pending_count_ > 0 && TakePending(connection)) return BeginConnection(self, connection);
  if (AcceptQueued(&connection) == AcceptResult::kKept) return BeginConnection(self, connection);
  return WaitIdle(self, connection) && BeginConnection(self, connection);
}

bool HttpServer::TakePending(Accepted& connection) {
  std::lock_guard lock(mutex_);
  if (pending_.empty()) return false;
  connection = pending_.front();
  pending_.pop_front();
  pending_count_ = pending_.size();
  return true;
}

bool HttpServer::WaitIdle(Worker* self, Accepted& connection) {
  {
    std::lock_guard lock(mutex_);
    if (shutting_down_) return false;
    if (!pending_.empty()) {
      connection = pending_.front();
      pending_.pop_front();
      pending_count_ = pending_.size();
      return true;
    }
    idle_.push_back(self);
  }
  const size_t keep = static_cast<size_t>(std::max(options_.pool_size, 1));
  std::unique_lock own(self->mutex);
  while (!self->handed.wait_for(own, options_.idle_linger, [&] { return self->next || shutting_down_; })) {
    own.unlock();
    {
      std::lock_guard lock(mutex_);
      // Taken off the list by the accepting thread means a connection is
      // on its way: wait for it.
      auto it = std::find(idle_.begin(), idle_.end(), self);
      if (it != idle_.end() && idle_.size() > keep) {
        idle_.erase(it);
        return false;
      }
    }
    own.lock();
  }
  if (!self->next) return false;  // shutting down
  connection = *std::exchange(self->next, std::nullopt);
  return true;
}

// Marks `connection` as served by `self`, so that the destructor can end a
// blocked read; false, with the connection closed, when the server is
// shutting down.
bool HttpServer::BeginConnection(Worker* self, const Accepted& connection) {
  {
    std::lock_guard own(self->mutex);
    self->fd = connection.fd;
  }
  if (!shutting_down_) return true;  // seen after the destructor set it: it may not have seen `fd`
  EndConnection(self);
  --connections_;
  return false;
}

void HttpServer::EndConnection(Worker* self) {
  int fd;
  {
    std::lock_guard own(self->mutex);
    fd = std::exchange(self->fd, -1);
  }
  ::close(fd);
}

size_t HttpServer::WorkerCount() {
  std::lock_guard lock(mutex_);
  size_t n = 0;
  for (const Worker& w : workers_) n += w.done ? 0 : 1;
  return n;
}

size_t HttpServer::IdleWorkerCount() {
  std::lock_guard lock(mutex_);
  return idle_.size();
}

size_t HttpServer::ActiveConnectionCount() { return connections_.load(); }

}  // namespace zuntar
