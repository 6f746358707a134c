#include "http/http_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <limits>
#include <optional>

#include "core/log.h"
#include "http/fd_stream.h"

namespace zuntar {

namespace http = boost::beast::http;
using Reply = http::response<http::string_body>;

namespace {

constexpr size_t kHeaderLimit = 16 * 1024;
constexpr size_t kReadChunk = 64 * 1024;
// What a refused request's client may still send after the reply, dropped
// unread: its bytes, the whole time it may take, and each wait for more.
constexpr size_t kDrainLimit = 4 << 20;
constexpr auto kDrainTime = std::chrono::seconds(1);
constexpr auto kDrainWait = std::chrono::milliseconds(250);
// Below the smallest send buffer a socket may have (USE_SMALL_BUFFER too).
constexpr size_t kOneSendReply = 2048;

// The connection's place under the connection limit, given back once.
class ConnectionSlot {
 public:
  explicit ConnectionSlot(const std::function<void()>& release) : release_(release) {}
  ~ConnectionSlot() { Release(); }
  ConnectionSlot(const ConnectionSlot&) = delete;
  ConnectionSlot& operator=(const ConnectionSlot&) = delete;

  void Release() {
    if (released_) return;
    released_ = true;
    release_();
  }

 private:
  const std::function<void()>& release_;
  bool released_ = false;
};

std::string LocalAddress(int fd) {
  sockaddr_storage local{};
  socklen_t size = sizeof local;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
  return AddressText(local);
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
}

// Header values and the reason phrase go out as bytes; a line break in them
// would let a message text forge headers, so it becomes a blank.
std::string HeaderSafe(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

// The request line and header fields; the body is read on demand.
HttpRequest ToRequest(const http::request<http::string_body>& message, std::string local_ip, std::string peer_ip) {
  HttpRequest r;
  r.method = std::string(message.method_string());
  const std::string_view target(message.target().data(), message.target().size());
  const size_t q = target.find('?');
  r.path = std::string(target.substr(0, q));
  if (q != std::string_view::npos) r.query = std::string(target.substr(q + 1));
  for (auto [it, end] = message.equal_range(http::field::host); it != end; ++it)
    r.host = r.host ? *r.host + ", " + std::string(it->value()) : std::string(it->value());
  if (auto it = message.find(http::field::origin); it != message.end()) r.origin = std::string(it->value());
  if (auto it = message.find("Access-Control-Request-Private-Network"); it != message.end())
    r.request_private_network = std::string(it->value());
  r.local_ip = std::move(local_ip);
  r.peer_ip = std::move(peer_ip);
  return r;
}

Reply ToMessage(HttpResponse& r) {
  Reply m;
  m.version(11);
  m.result(static_cast<unsigned>(r.status));
  if (!r.reason.empty()) m.reason(HeaderSafe(r.reason));
  m.set(http::field::server, "MERVO");
  m.set(http::field::connection, "close");
  if (!r.content_type.empty()) m.set(http::field::content_type, HeaderSafe(r.content_type));
  if (!r.content_encoding.empty()) m.set(http::field::content_encoding, HeaderSafe(r.content_encoding));
  for (const auto& [name, value] : r.headers) m.set(name, HeaderSafe(value));
  if (r.body_source) {
    if (const std::optional<uint64_t> length = r.body_source->Length())
      m.content_length(*length);
    else
      m.chunked(true);
    return m;
  }
  m.body() = std::move(r.body);
  m.prepare_payload();
  return m;
}

// The status line and header fields of `m`, byte for byte as Beast's
// serializer writes them, without its buffer sequences.
std::string HeaderBytes(const Reply& m) {
  const unsigned code = m.result_int();
  const unsigned version = m.version();
  // "HTTP/1.1 200 ": the version's and the status's digits written in place.
  char line[] = "HTTP/x.x xxx ";
  line[5] = static_cast<char>('0' + version / 10);
  line[7] = static_cast<char>('0' + version % 10);
  line[9] = static_cast<char>('0' + code / 100 % 10);
  line[10] = static_cast<char>('0' + code / 10 % 10);
  line[11] = static_cast<char>('0' + code % 10);
  const auto reason = m.reason();
  std::string head;
  head.reserve(512);
  head.append(line, sizeof line - 1).append(reason.data(), reason.size()).append("\r\n");
  for (const auto& field : m) {
    const auto name = field.name_string();
    const auto value = field.value();
    head.append(name.data(), name.size()).append(": ").append(value.data(), value.size()).append("\r\n");
  }
  return head.append("\r\n");
}

// Writes a reply in parts, always holding its last byte back with MSG_MORE.
// Finish gives the slot back and only then sends that byte, which sends
// everything held in one segment: the client cannot see a complete reply
// (and open its next connection) before this one has stopped counting
// against the limit.
class ReplyWriter {
 public:
  ReplyWriter(int fd, boost::system::error_code& ec) : fd_(fd), ec_(ec) {}

  // At most three parts a call.
  bool Write(std::initializer_list<std::string_view> parts) {
    iovec out[4];
    size_t n = 0;
    if (held_) out[n++] = {&last_, 1};
    for (std::string_view p : parts)
      if (!p.empty()) out[n++] = {const_cast<char*>(p.data()), p.size()};
    if (n == (held_ ? 1u : 0u)) return true;
    iovec& final_part = out[n - 1];
    const char next_last = static_cast<const char*>(final_part.iov_base)[final_part.iov_len - 1];
    final_part.iov_len -= 1;
    if (!SendAll(fd_, {out, n}, MSG_MORE, ec_)) return false;
    last_ = next_last;  // only now: the byte held before went out from last_
    held_ = true;
    return true;
  }

  bool Finish(ConnectionSlot& slot) {
    slot.Release();
    iovec last{&last_, 1};
    return !held_ || SendAll(fd_, {&last, 1}, 0, ec_);
  }

 private:
  const int fd_;
  boost::system::error_code& ec_;
  char last_ = 0;
  bool held_ = false;
};

// Sends the body of a source; in chunks when its length is not known.
bool SendBodyFrom(ReplyBodySource& source, bool chunked, ReplyWriter& writer) {
  std::string piece;
  char size_line[32];
  while (source.Next(piece)) {
    if (piece.empty()) continue;
    if (!chunked) {
      if (!writer.Write({piece})) return false;
      continue;
    }
    const int n = std::snprintf(size_line, sizeof size_line, "%zx\r\n", piece.size());
    if (!writer.Write({std::string_view(size_line, static_cast<size_t>(n)), piece, "\r\n"})) return false;
  }
  return !chunked || writer.Write({"0\r\n\r\n"});
}

// Sends the reply: the header fields, then the body or what its source
// makes. A source that fails leaves the reply short. A small reply made
// whole goes out in one call, the slot given back just before it: a fresh
// connection's send buffer always takes it at once, so it cannot linger
// there uncounted.
bool SendReply(int fd, Reply& m, ReplyBodySource* source, ConnectionSlot& slot, boost::system::error_code& ec) {
  const std::string head = HeaderBytes(m);
  if (source == nullptr && head.size() + m.body().size() <= kOneSendReply) {
    iovec parts[2] = {{const_cast<char*>(head.data()), head.size()}, {m.body().data(), m.body().size()}};
    slot.Release();
    return SendAll(fd, parts, 0, ec);
  }
  ReplyWriter writer(fd, ec);
  if (!writer.Write({head, m.body()})) return false;
  if (source != nullptr && !SendBodyFrom(*source, m.chunked(), writer)) return false;
  return writer.Finish(slot);
}

// After a reply to a request whose body was left unread: stops sending,
// then drops what the client still sends for a short while, without
// keeping it. Closing with unread data would reset the connection, and the
// client could lose the reply with it; a client that read the reply closes
// its end, and one that goes on sending is cut off within the bounds.
void LetClientFinish(int fd) {
  ::shutdown(fd, SHUT_WR);
  SetReceiveTimeout(fd, kDrainWait);
  const auto deadline = std::chrono::steady_clock::now() + kDrainTime;
  char sink[65536];
  for (size_t drained = 0; drained < kDrainLimit && std::chrono::steady_clock::now() < deadline;) {
    const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
    if (n <= 0) break;
    drained += static_cast<size_t>(n);
  }
}

// Answers `status` alone, without the handler, to a request whose body is
// not read.
bool SendRefusal(int fd, int status, ConnectionSlot& slot, boost::system::error_code& ec) {
  HttpResponse r;
  r.status = status;
  Reply m = ToMessage(r);
  if (!SendReply(fd, m, nullptr, slot, ec)) return false;
  LetClientFinish(fd);
  return true;
}

// The body of the request on the connection, read when the handler asks.
class ConnectionBody : public RequestBody {
 public:
  enum class State { kUnread, kRead, kTooLarge, kFailed };

  ConnectionBody(int fd, FdStream& stream, boost::beast::flat_buffer& buffer,
                 http::request_parser<http::string_body>& parser, const HttpServerOptions& options)
      : fd_(fd), stream_(stream), buffer_(buffer), parser_(parser), options_(options) {}

  bool Read(HttpRequest& request) override {
    if (state_ != State::kUnread) return state_ == State::kRead;
    if (!parser_.is_done() && ExpectsContinue()) {
      // The client waits for a word before it sends the body.
      static constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
      iovec part{const_cast<char*>(kContinue), sizeof kContinue - 1};
      if (!SendAll(fd_, {&part, 1}, 0, error_)) return Fail(State::kFailed);
    }
    parser_.body_limit(options_.body_limit - 1);
    stream_.Limit(std::chrono::milliseconds(options_.read_timeout_ms), std::nullopt);
    http::read(stream_, buffer_, parser_, error_);
    if (error_ == http::error::body_limit) return Fail(State::kTooLarge);
    if (error_) return Fail(State::kFailed);
    request.body = std::move(parser_.get().body());
    state_ = State::kRead;
    return true;
  }

  State state() const { return state_; }
  const boost::system::error_code& error() const { return error_; }
  // Whether the client may still be sending a body nobody read: one that
  // came in whole with the header fields is in the buffer already.
  bool Unread() const {
    if (parser_.is_done()) return false;
    const auto length = parser_.content_length_remaining();
    return !length || buffer_.size() < *length;
  }

 private:
  bool ExpectsContinue() const {
    const auto& m = parser_.get();
    return m.version() >= 11 && boost::beast::iequals(m[http::field::expect], "100-continue");
  }

  bool Fail(State state) {
    state_ = state;
    return false;
  }

  const int fd_;
  FdStream& stream_;
  boost::beast::flat_buffer& buffer_;
  http::request_parser<http::string_body>& parser_;
  const HttpServerOptions& options_;
  State state_ = State::kUnread;
  boost::system::error_code error_;
};

void Report(HttpHandler& handler, WorkerState& state, const char* what, const std::string& peer_ip,
            const boost::system::error_code& ec) {
  handler.OnConnectionError(state, what + peer_ip + ": " + ec.message());
}

}  // namespace

std::string AddressText(const sockaddr_storage& addr) {
  char text[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, text, sizeof text);
  } else if (addr.ss_family == AF_INET6) {
    const in6_addr& a = reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&a))  // an IPv4 client of the IPv6 socket
      inet_ntop(AF_INET, &a.s6_addr[12], text, sizeof text);
    else
      inet_ntop(AF_INET6, &a, text, sizeof text);
  }
  return text;
}

std::chrono::milliseconds FirstReadTimeout(const HttpServerOptions& options) {
  const std::chrono::milliseconds per_read(options.read_timeout_ms);
  return per_read.count() > 0 && per_read < options.header_timeout ? per_read : options.header_timeout;
}

void ServeConnection(int fd, const sockaddr_storage& peer, const HttpServerOptions& options, HttpHandler& handler,
                     WorkerState& state, const std::function<void()>& release_slot) {
  ConnectionSlot slot(release_slot);
  ApplyConnectionOptions(fd, options);
  FdStream stream(fd, FirstReadTimeout(options));
  stream.Limit(std::chrono::milliseconds(options.read_timeout_ms),
               FdStream::Clock::now() + options.header_timeout);
  std::string peer_ip = AddressText(peer);
  try {
    std::string local_ip = handler.WantsLocalAddress(peer_ip) ? LocalAddress(fd) : std::string();
    handler.OnConnect(state, local_ip, peer_ip);
    // Beast reads as much as the buffer has room for, at least 512 bytes:
    // with room for 64 KiB a large body takes a few thousand reads, not
    // hundreds of thousands.
    boost::beast::flat_buffer buffer;
    buffer.reserve(kReadChunk);
    http::request_parser<http::string_body> parser;
    parser.header_limit(kHeaderLimit);
    parser.body_limit(std::numeric_limits<std::uint64_t>::max());  // checked against the declared length below
    boost::system::error_code ec;
    http::read_header(stream, buffer, parser, ec);
    if (ec) {
      Report(handler, state, "Read error from ", peer_ip, ec);
      return;
    }
    if (auto length = parser.content_length(); length && *length >= options.body_limit) {
      if (!SendRefusal(fd, 406, slot, ec)) Report(handler, state, "Write error to ", peer_ip, ec);
      return;
    }
    HttpRequest request = ToRequest(parser.get(), std::move(local_ip), std::move(peer_ip));
    ConnectionBody body(fd, stream, buffer, parser, options);
    HttpResponse response;
    handler.Handle(state, request, response, body);
    if (body.state() == ConnectionBody::State::kFailed) {
      Report(handler, state, "Read error from ", request.peer_ip, body.error());
      return;
    }
    if (body.state() == ConnectionBody::State::kTooLarge) {
      if (!SendRefusal(fd, 406, slot, ec)) Report(handler, state, "Write error to ", request.peer_ip, ec);
      return;
    }
    Reply message = ToMessage(response);
    if (!SendReply(fd, message, response.body_source.get(), slot, ec)) {
      Report(handler, state, "Write error to ", request.peer_ip, ec);
      return;
    }
    if (body.Unread()) LetClientFinish(fd);
  } catch (const std::exception& e) {
    LogError(std::string("HTTP connection: ") + e.what());
  }
}

}  // namespace zuntar
