// A small HTTP/1.1 server with one synchronous worker thread per connection.
//
// The listener accepts on all local addresses (IPv4, and IPv6 where the
// machine has it) and hands each connection to a worker thread: an idle one
// from the pool when there is one, else a new thread. A worker serves one
// request per connection (no keep-alive), then waits in the pool for the
// next connection while the pool has room, or ends. Connections beyond the
// limit are accepted and closed at once.
//
// Every worker owns a WorkerState made by the handler on the worker's own
// thread and destroyed there, so per-thread resources (a database
// connection) never cross threads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/http_message.h"
#include "platform/unique_fd.h"

namespace zuntar {

struct HttpServerOptions {
  int port = 18080;
  int max_connections = 40;
  int listen_queue = 10;
  int pool_size = 1;  // idle workers kept for reuse; 0: one thread per connection
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
  // Runs for every request on the worker thread. Exceptions are contained:
  // the connection is closed without a reply.
  virtual void Handle(WorkerState& state, HttpRequest& request, HttpResponse& response) = 0;
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

  void AcceptLoop();
  void Dispatch(int fd);
  void WorkerMain(Worker* worker, int first_fd);
  int NextConnection(Worker* worker);
  void ServeConnection(WorkerState& state, Worker* worker, int fd);
  void ReapFinishedWorkers();

  const HttpServerOptions options_;
  HttpHandler& handler_;

  std::vector<UniqueFd> listeners_;
  int port_ = 0;
  UniqueFd wake_;  // eventfd that ends the accept loop
  std::thread acceptor_;

  std::mutex mutex_;
  std::condition_variable pool_cv_;
  std::list<Worker> workers_;
  std::deque<int> pending_;  // accepted connections waiting for an idle worker
  size_t idle_ = 0;
  size_t connections_ = 0;
  bool shutting_down_ = false;
};

}  // namespace zuntar
