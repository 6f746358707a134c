// A small HTTP/1.1 server with one synchronous worker thread per connection.
//
// It listens on all local addresses (IPv4, and IPv6 where the machine has
// it), or on the one it is given. A worker serves one request per
// connection (no keep-alive), then takes the next connection waiting for a
// worker, or one straight from the listen queue, or waits idle; idle
// workers beyond the pool size end once they have waited a while with
// nothing to do. A keeper thread makes workers ahead of need, so one is
// always ready, and joins those that end.
//
// A worker reads the request line and header fields, lets the handler judge
// the request, and reads the body only when the handler asks for it: a
// refused request never brings its body in.
//
// Idle workers wait on the listening socket themselves, each in its own
// epoll set with EPOLLEXCLUSIVE, so the kernel wakes exactly one of them
// for a new connection and it serves it at once: one thread woken per
// request. The accepting thread waits there too, behind them, and is woken
// when no idle worker is waiting. It never waits for a worker: it hands
// each connection to an idle worker, or queues it for the next free one,
// and refuses (closes at once) a connection beyond the limit.
//
// Taking the listen queue in threads that are running already matters when
// the process runs at a low priority or the keeper is busy making threads:
// the accepting thread may then wait long for a processor, and the queue
// overflow meanwhile (the kernel drops new clients' SYNs, which they send
// again only after a second). So a worker that has ended a connection takes
// the next one straight from the queue, and the keeper empties the queue
// between the threads it makes. A worker takes only the one connection it
// will serve, never the rest of the queue: refusing everything beyond the
// limit from every worker would feed clients that retry at once, and spend
// on them the time the served ones need.
//
// Every worker owns a WorkerState made by the handler on the worker's own
// thread and destroyed there, so per-thread resources (a database
// connection) never cross threads.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "http/http_message.h"
#include "platform/thread_annotations.h"
#include "platform/unique_fd.h"

namespace zuntar {

struct HttpServerOptions {
  // An IP address of this machine to listen on (IPv6 with or without
  // brackets, or "localhost" for 127.0.0.1); empty: every local address.
  std::string address;
  int port = 18080;
  // Connections counted from their accept until their reply is written
  // (0: no limit); a client holding no more than this is never refused.
  int max_connections = 40;
  int listen_queue = 10;
  // Idle workers kept for reuse; 0: a worker serves one connection and ends.
  // At least one worker is kept ready either way.
  int pool_size = 1;
  // How long an idle worker beyond the pool size waits before it ends.
  std::chrono::milliseconds idle_linger{1000};
  bool no_delay = false;
  bool small_send_buffer = false;
  int read_timeout_ms = 0;  // each read of a request; 0: wait without limit
  // The request line and header fields must be in within this time, whatever
  // read_timeout_ms says, so clients that never finish cannot hold every
  // connection. The listening socket carries it, and accepted sockets
  // inherit it: it costs no call per connection.
  std::chrono::milliseconds header_timeout{30000};
  // A body of this many bytes or more is refused with 406 before it is read.
  uint64_t body_limit = 268435456;
};

// Per-worker-thread state of the handler.
class WorkerState {
 public:
  virtual ~WorkerState() = default;
  // Set by the handler when the thread must end after the current request.
  bool stop_thread = false;
};

// The body of the request being handled, still in the connection until the
// handler reads it.
class RequestBody {
 public:
  virtual ~RequestBody() = default;
  // Reads the whole body into `request.body`. False when there is none to be
  // had: the connection failed, or the body is too large. The handler then
  // returns at once; the server answers what it must (406 for a body too
  // large), and the handler's reply is not sent.
  virtual bool Read(HttpRequest& request) = 0;
};

class HttpHandler {
 public:
  virtual ~HttpHandler() = default;
  // Runs on each new worker thread before its first connection.
  virtual std::unique_ptr<WorkerState> NewWorkerState() { return std::make_unique<WorkerState>(); }
  // Whether a connection from `peer_ip` needs the local address it reached,
  // which costs a call per connection; without it, OnConnect and the
  // request see it empty.
  virtual bool WantsLocalAddress(const std::string& /*peer_ip*/) { return true; }
  // Runs when a connection is handed to a worker, before its request is read.
  virtual void OnConnect(WorkerState&, const std::string& /*local_ip*/, const std::string& /*peer_ip*/) {}
  // Runs when reading a request or writing its reply fails: "Read error
  // from <peer>: <reason>" or "Write error to <peer>: <reason>".
  virtual void OnConnectionError(WorkerState&, const std::string& /*text*/) {}
  // Runs for every request on the worker thread once its request line and
  // header fields are in; `request.body` is empty until `body.Read` fills
  // it. A body left unread is never read: the reply goes out, the server
  // stops sending and drops what the client still sends for a short while
  // (closing at once would reset the connection, and the client might lose
  // the reply), then closes. Exceptions are contained: the connection is
  // closed without a reply.
  virtual void Handle(WorkerState& state, HttpRequest& request, HttpResponse& response, RequestBody& body) = 0;
};

class HttpServer {
 public:
  // Starts listening at once; throws std::system_error when the port cannot be bound.
  HttpServer(const HttpServerOptions& options, HttpHandler& handler);
  // Stops accepting, closes the connections of busy workers and joins every thread.
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Switch listening off (the port is released) and on again, in place.
  void Deactivate();
  void Activate();
  bool active() const;
  // The listening port (the one the system chose when the options asked for 0).
  int port() const { return port_; }

  // Threads serving or waiting in the pool, for tests and diagnostics.
  size_t WorkerCount();
  size_t IdleWorkerCount();
  size_t ActiveConnectionCount();

 private:
  struct Worker;
  // An accepted connection: whoever holds it closes it, once.
  struct Accepted {
    UniqueFd fd;
    sockaddr_storage peer{};
  };
  enum class Drained { kEmpty, kHandedOver, kOutOfResources };
  enum class Taken { kTaken, kNone, kOutOfResources };

  void AcceptLoop();
  Drained AcceptQueued();
  Taken AcceptOne(Accepted& connection);
  bool Admit(Accepted connection);
  bool CountConnection();
  void WakeIdleWorkers();

  void KeeperLoop();
  // Both let go of mutex_ while they wait for the system, and hold it again
  // when they return.
  bool StartWorker() REQUIRES(mutex_);
  void JoinEndedWorkers() REQUIRES(mutex_);
  size_t SparesWanted() const REQUIRES(mutex_);
  void RefusePending() REQUIRES(mutex_);

  void WorkerMain(Worker* self);
  bool NextConnection(Worker* self, Accepted& connection);
  bool TakePending(Accepted& connection);
  bool TakePendingLocked(Accepted& connection) REQUIRES(mutex_);
  bool BecomeIdle(Worker* self, Accepted& connection, bool& ending);
  bool WaitIdle(Worker* self, Accepted& connection);
  bool LeaveIdle(Worker* self);
  void WatchListener(Worker* self);
  bool BeginConnection(Worker* self, Accepted& connection);
  void EndConnection(Worker* self, Accepted& connection);

  const HttpServerOptions options_;
  HttpHandler& handler_;

  // Workers take connections from the listen queue too; they read the
  // listening socket under a shared lock, Activate and Deactivate change it
  // under an exclusive one. Closing it takes it out of every epoll set.
  SharedMutex listening_mutex_;
  UniqueFd listener_ GUARDED_BY(listening_mutex_);
  std::atomic<uint64_t> listener_generation_{0};  // counts Activate calls
  int port_ = 0;
  UniqueFd accept_epoll_;  // the accepting thread's: the listener and `wake_`
  UniqueFd wake_;          // eventfd that ends the accept loop
  std::thread acceptor_;
  std::thread keeper_;

  std::atomic<size_t> connections_{0};
  std::atomic<size_t> pending_count_{0};  // pending_.size(), read without the lock
  std::atomic<bool> shutting_down_{false};

  // A serving worker never takes this lock: it is for the idle, the pending
  // and the keeper's bookkeeping. A worker's own lock may be taken inside it,
  // never the other way round.
  Mutex mutex_;
  CondVar keeper_cv_;  // only the keeper waits on it
  // Added and removed by the keeper only (and emptied by the destructor once
  // the keeper is gone).
  std::list<Worker> workers_ GUARDED_BY(mutex_);
  std::vector<Worker*> ended_ GUARDED_BY(mutex_);    // of workers_, ended and not yet joined
  std::vector<Worker*> idle_ GUARDED_BY(mutex_);     // waiting for a connection, the most recently idle last
  std::deque<Accepted> pending_ GUARDED_BY(mutex_);  // admitted, waiting for a worker
  size_t live_ GUARDED_BY(mutex_) = 0;               // workers not yet ended
  size_t starting_ GUARDED_BY(mutex_) = 0;           // workers made that have not yet asked for a connection
};

}  // namespace zuntar
