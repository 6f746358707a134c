// A small HTTP/1.1 server with one synchronous worker thread per connection.
//
// One accepting thread listens on all local addresses (IPv4, and IPv6 where
// the machine has it). It never waits for a worker: it hands each admitted
// connection to the most recently idle worker, or queues it when none is
// idle, and refuses (closes at once) a connection beyond the limit. A
// keeper thread makes workers ahead of need, so one is always ready, and
// joins those that end. A worker serves one request per connection (no
// keep-alive), then takes the next waiting connection, or one straight from
// the listen queue, or waits idle; idle workers beyond the pool size end
// once they have waited a while with nothing to do.
//
// The keeper and the workers also empty the listen queues whenever they
// look at them, admitting what they find as the accepting thread would.
// This matters when the process runs at a low priority or the keeper is
// busy making threads: a thread that is running already takes the queue,
// while the accepting thread may wait long for a processor and the queue
// overflow meanwhile (the kernel then drops new clients' SYNs, which they
// send again only after a second).
//
// Every worker owns a WorkerState made by the handler on the worker's own
// thread and destroyed there, so per-thread resources (a database
// connection) never cross threads.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/http_message.h"
#include "platform/unique_fd.h"

namespace zuntar {

struct HttpServerOptions {
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
  int read_timeout_ms = 0;  // 0: wait without limit
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

class HttpHandler {
 public:
  virtual ~HttpHandler() = default;
  // Runs on each new worker thread before its first connection.
  virtual std::unique_ptr<WorkerState> NewWorkerState() { return std::make_unique<WorkerState>(); }
  // Runs when a connection is handed to a worker, before its request is read.
  virtual void OnConnect(WorkerState&, const std::string& /*local_ip*/, const std::string& /*peer_ip*/) {}
  // Runs when reading a request or writing its reply fails: "Read error
  // from <peer>: <reason>" or "Write error to <peer>: <reason>".
  virtual void OnConnectionError(WorkerState&, const std::string& /*text*/) {}
  // Runs for every request on the worker thread. Exceptions are contained:
  // the connection is closed without a reply.
  virtual void Handle(WorkerState& state, const HttpRequest& request, HttpResponse& response) = 0;
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
  struct Accepted {
    int fd = -1;
    sockaddr_storage peer{};
  };
  enum class AcceptResult { kNone, kKept, kOutOfResources };

  void AcceptLoop();
  AcceptResult AcceptQueued(Accepted* mine);
  void Admit(const Accepted& connection);
  bool CountConnection();

  void KeeperLoop();
  bool StartWorker(std::unique_lock<std::mutex>& lock);
  void JoinEndedWorkers(std::unique_lock<std::mutex>& lock);
  size_t SparesWanted() const;
  void RefusePending();

  void WorkerMain(Worker* self);
  bool NextConnection(Worker* self, Accepted& connection);
  bool TakePending(Accepted& connection);
  bool WaitIdle(Worker* self, Accepted& connection);
  bool BeginConnection(Worker* self, const Accepted& connection);
  void EndConnection(Worker* self);

  const HttpServerOptions options_;
  HttpHandler& handler_;

  // Workers take connections from the listen queues too; they read the
  // listening sockets under a shared lock, Activate and Deactivate change
  // them under an exclusive one.
  std::shared_mutex listening_mutex_;
  std::vector<UniqueFd> listeners_;
  int port_ = 0;
  UniqueFd wake_;  // eventfd that ends the accept loop
  std::thread acceptor_;
  std::thread keeper_;

  std::atomic<size_t> connections_{0};
  std::atomic<size_t> pending_count_{0};  // pending_.size(), read without the lock
  std::atomic<bool> shutting_down_{false};

  // A serving worker never takes this lock: it is for the idle, the pending
  // and the keeper's bookkeeping. A worker's own lock may be taken inside it,
  // never the other way round.
  std::mutex mutex_;
  std::condition_variable keeper_cv_;
  std::list<Worker> workers_;     // added and removed by the keeper only
  std::vector<Worker*> idle_;     // waiting for a connection, the most recently idle last
  std::deque<Accepted> pending_;  // admitted, waiting for a worker
  size_t live_ = 0;               // workers not yet ended
  size_t starting_ = 0;           // workers made that have not yet asked for a connection
  bool worker_ended_ = false;
};

}  // namespace zuntar
