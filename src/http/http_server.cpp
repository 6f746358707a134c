#include "http/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>
#include <system_error>

#include "core/log.h"
#include "http/fd_stream.h"

namespace zuntar {

namespace http = boost::beast::http;

namespace {

// A thread with a 1 MiB stack. Workers come and go with connections, and
// glibc keeps freed thread stacks for reuse up to 40 MiB in all: that holds
// five default 8 MiB stacks but forty of these, so a new worker usually
// starts on a cached stack instead of a fresh mapping.
class WorkerThread {
 public:
#ifdef __SANITIZE_ADDRESS__
  static constexpr size_t kStackSize = 4 << 20;  // instrumented frames are several times larger
#else
  static constexpr size_t kStackSize = 1 << 20;
#endif

  void Start(std::function<void()> body) {
    auto* heap_body = new std::function<void()>(std::move(body));
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kStackSize);
    const int rc = pthread_create(&thread_, &attr, &Run, heap_body);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
      delete heap_body;
      throw std::system_error(rc, std::generic_category(), "pthread_create");
    }
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

}  // namespace

struct HttpServer::Worker {
  WorkerThread thread;
  int fd = -1;  // the connection being served, -1 between connections
  bool done = false;
};

namespace {

constexpr size_t kHeaderLimit = 16 * 1024;
constexpr size_t kReadChunk = 64 * 1024;

std::system_error SocketError(const char* what) { return std::system_error(errno, std::generic_category(), what); }

std::string AddressText(const sockaddr_storage& addr) {
  char text[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, text, sizeof text);
  else if (addr.ss_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr, text, sizeof text);
  return text;
}

// Opens a listening socket on every address of `family`, or returns an
// invalid descriptor when the machine has no such family.
UniqueFd Listen(int family, int port, int backlog) {
  UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
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

void ApplyConnectionOptions(int fd, const HttpServerOptions& o) {
  if (o.no_delay) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  if (o.small_send_buffer) {
    const int size = 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  }
  if (o.read_timeout_ms > 0) {
    timeval tv{o.read_timeout_ms / 1000, (o.read_timeout_ms % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
}

// Header values and the reason phrase go out as bytes; a line break in them
// would let a message text forge headers, so it becomes a blank.
std::string HeaderSafe(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

HttpRequest ToRequest(http::request<http::string_body>& message, std::string local_ip, std::string peer_ip) {
  HttpRequest r;
  r.method = std::string(message.method_string());
  const std::string_view target(message.target().data(), message.target().size());
  const size_t q = target.find('?');
  r.path = std::string(target.substr(0, q));
  if (q != std::string_view::npos) r.query = std::string(target.substr(q + 1));
  r.body = std::move(message.body());
  if (auto it = message.find(http::field::origin); it != message.end()) r.origin = std::string(it->value());
  if (auto it = message.find("Access-Control-Request-Private-Network"); it != message.end())
    r.request_private_network = std::string(it->value());
  r.local_ip = std::move(local_ip);
  r.peer_ip = std::move(peer_ip);
  return r;
}

http::response<http::string_body> ToMessage(HttpResponse& r) {
  http::response<http::string_body> m;
  m.version(11);
  m.result(static_cast<unsigned>(r.status));
  if (!r.reason.empty()) m.reason(HeaderSafe(r.reason));
  m.set(http::field::server, "MERVO");
  m.set(http::field::connection, "close");
  if (!r.content_type.empty()) m.set(http::field::content_type, HeaderSafe(r.content_type));
  if (!r.content_encoding.empty()) m.set(http::field::content_encoding, HeaderSafe(r.content_encoding));
  for (const auto& [name, value] : r.headers) m.set(name, HeaderSafe(value));
  m.body() = std::move(r.body);
  m.prepare_payload();
  return m;
}

// Answers `status` without reading the request body, then reads and drops
// a bounded amount of what the client still sends: closing with unread data
// resets the connection, and the client would lose the answer with it.
void SendRefusal(FdStream& stream, int fd, int status) {
  HttpResponse r;
  r.status = status;
  http::response<http::string_body> m = ToMessage(r);
  boost::system::error_code ec;
  http::write(stream, m, ec);
  if (ec) return;
  ::shutdown(fd, SHUT_WR);
  const timeval tv{0, 200000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char sink[65536];
  for (size_t drained = 0; drained < (4u << 20);) {
    const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
    if (n <= 0) break;
    drained += static_cast<size_t>(n);
  }
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
}

HttpServer::~HttpServer() {
  Deactivate();
  {
    std::lock_guard lock(mutex_);
    shutting_down_ = true;
    for (Worker& w : workers_)
      if (w.fd >= 0) ::shutdown(w.fd, SHUT_RDWR);  // wakes a worker blocked on its client
    for (int fd : pending_) ::close(fd);
    connections_ -= pending_.size();
    pending_.clear();
  }
  pool_cv_.notify_all();
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
  listeners_ = std::move(listeners);
  wake_ = std::move(wake);
  acceptor_ = std::thread(&HttpServer::AcceptLoop, this);
}

void HttpServer::Deactivate() {
  if (!acceptor_.joinable()) return;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
  acceptor_.join();
  listeners_.clear();
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
    for (size_t i = 0; i + 1 < fds.size(); ++i) {
      if ((fds[i].revents & POLLIN) == 0) continue;
      const int fd = ::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) Dispatch(fd);
    }
  }
}

void HttpServer::Dispatch(int fd) {
  std::lock_guard lock(mutex_);
  ReapFinishedWorkers();
  if (options_.max_connections > 0 && connections_ >= static_cast<size_t>(options_.max_connections)) {
    ::close(fd);  // over the limit: refused without a reply
    return;
  }
  ++connections_;
  if (idle_ > pending_.size()) {
    pending_.push_back(fd);
    pool_cv_.notify_one();
    return;
  }
  Worker& w = workers_.emplace_back();
  w.fd = fd;
  try {
    w.thread.Start([this, &w, fd] { WorkerMain(&w, fd); });
  } catch (const std::system_error& e) {
    // No thread for it: the connection is refused like one over the limit.
    workers_.pop_back();
    --connections_;
    ::close(fd);
    LogError(std::string("HTTP worker: ") + e.what());
  }
}

void HttpServer::ReapFinishedWorkers() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (it->done) {
      it->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

void HttpServer::WorkerMain(Worker* worker, int first_fd) {
  std::unique_ptr<WorkerState> state;
  try {
    state = handler_.NewWorkerState();
  } catch (const std::exception& e) {
    LogError(std::string("HTTP worker start: ") + e.what());
  }
  if (!state) state = std::make_unique<WorkerState>();
  for (int fd = first_fd; fd >= 0; fd = NextConnection(worker)) {
    ServeConnection(*state, worker, fd);
    if (state->stop_thread) break;
  }
  state.reset();  // per-thread resources end on their own thread
  std::lock_guard lock(mutex_);
  worker->done = true;
}

int HttpServer::NextConnection(Worker* worker) {
  std::unique_lock lock(mutex_);
  if (shutting_down_ || options_.pool_size <= 0 || idle_ >= static_cast<size_t>(options_.pool_size)) return -1;
  ++idle_;
  pool_cv_.wait(lock, [this] { return shutting_down_ || !pending_.empty(); });
  --idle_;
  if (shutting_down_) return -1;
  worker->fd = pending_.front();
  pending_.pop_front();
  return worker->fd;
}

void HttpServer::ServeConnection(WorkerState& state, Worker* worker, int fd) {
  sockaddr_storage local{}, peer{};
  socklen_t local_size = sizeof local, peer_size = sizeof peer;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_size);
  ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_size);
  ApplyConnectionOptions(fd, options_);

  UniqueFd owner(fd);
  FdStream stream(fd);
  boost::system::error_code ec;

  try {
    std::string local_ip = AddressText(local), peer_ip = AddressText(peer);
    handler_.OnConnect(state, local_ip, peer_ip);
    // Beast reads as much as the buffer has room for, at least 512 bytes:
    // with room for 64 KiB a large body takes a few thousand reads, not
    // hundreds of thousands.
    boost::beast::flat_buffer buffer;
    buffer.reserve(kReadChunk);
    http::request_parser<http::string_body> parser;
    parser.header_limit(kHeaderLimit);
    parser.body_limit(std::numeric_limits<std::uint64_t>::max());  // checked against the declared length below
    if (!ec) http::read_header(stream, buffer, parser, ec);
    if (!ec) {
      if (auto length = parser.content_length(); length && *length >= options_.body_limit) {
        SendRefusal(stream, fd, 406);
      } else {
        parser.body_limit(options_.body_limit - 1);
        http::read(stream, buffer, parser, ec);
        if (ec == http::error::body_limit) SendRefusal(stream, fd, 406);
      }
    }
    if (!ec && parser.is_done()) {
      HttpRequest request = ToRequest(parser.get(), std::move(local_ip), std::move(peer_ip));
      HttpResponse response;
      handler_.Handle(state, request, response);
      http::response<http::string_body> message = ToMessage(response);
      http::write(stream, message, ec);
    }
  } catch (const std::exception& e) {
    LogError(std::string("HTTP connection: ") + e.what());
  }

  {
    std::lock_guard lock(mutex_);
    worker->fd = -1;
    --connections_;
  }
  ::shutdown(fd, SHUT_WR);
}

size_t HttpServer::WorkerCount() {
  std::lock_guard lock(mutex_);
  size_t n = 0;
  for (const Worker& w : workers_) n += w.done ? 0 : 1;
  return n;
}

size_t HttpServer::IdleWorkerCount() {
  std::lock_guard lock(mutex_);
  return idle_;
}

size_t HttpServer::ActiveConnectionCount() {
  std::lock_guard lock(mutex_);
  return connections_;
}

}  // namespace zuntar
