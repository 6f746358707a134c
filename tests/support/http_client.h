// A blocking HTTP/1.1 client on raw sockets for tests: sends exactly the
// bytes it is given and returns everything the server sends until it closes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <map>
#include <stdexcept>
#include <string>

namespace zuntar::test {

struct HttpReply {
  bool received = false;  // false: the server closed without a byte
  int status = 0;
  std::string reason;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::string raw;
};

// Opens a TCP connection to 127.0.0.1:port, from `source_ip` when given
// (any 127.x.y.z address reaches loopback on Linux). -1 on failure.
inline int Connect(int port, const std::string& source_ip = "") {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (!source_ip.empty()) {
    sockaddr_in src{};
    src.sin_family = AF_INET;
    inet_pton(AF_INET, source_ip.c_str(), &src.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) {
      ::close(fd);
      return -1;
    }
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline bool SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Everything until the peer closes or `timeout_ms` passes.
inline std::string ReadAll(int fd, int timeout_ms = 10000) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char buffer[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

// The body of a chunked reply, as far as its chunks are whole.
inline std::string Unchunked(const std::string& chunks) {
  std::string body;
  for (size_t pos = 0;;) {
    const size_t line_end = chunks.find("\r\n", pos);
    if (line_end == std::string::npos) break;
    const size_t size = std::stoul(chunks.substr(pos, line_end - pos), nullptr, 16);
    if (size == 0 || line_end + 2 + size > chunks.size()) break;
    body += chunks.substr(line_end + 2, size);
    pos = line_end + 2 + size + 2;
  }
  return body;
}

inline HttpReply ParseReply(const std::string& raw) {
  HttpReply r;
  r.raw = raw;
  const size_t head_end = raw.find("\r\n\r\n");
  if (raw.empty() || head_end == std::string::npos) return r;
  r.received = true;
  const size_t line_end = raw.find("\r\n");
  const std::string status_line = raw.substr(0, line_end);  // HTTP/1.1 200 OK
  const size_t sp1 = status_line.find(' ');
  const size_t sp2 = status_line.find(' ', sp1 + 1);
  r.status = std::stoi(status_line.substr(sp1 + 1, sp2 - sp1 - 1));
  if (sp2 != std::string::npos) r.reason = status_line.substr(sp2 + 1);
  size_t pos = line_end + 2;
  while (pos < head_end) {
    const size_t end = raw.find("\r\n", pos);
    const std::string line = raw.substr(pos, end - pos);
    const size_t colon = line.find(':');
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string value = line.substr(colon + 1);
    if (!value.empty() && value[0] == ' ') value.erase(0, 1);
    r.headers[name] = value;
    pos = end + 2;
  }
  r.body = raw.substr(head_end + 4);
  if (const auto te = r.headers.find("transfer-encoding"); te != r.headers.end() && te->second == "chunked")
    r.body = Unchunked(r.body);
  return r;
}

// One reply, read only as far as its Content-Length says, the way browsers
// and load tools read it before they close and open the next connection
// (without waiting for the server to close). Not received when the server
// closes first or `timeout_ms` passes.
inline HttpReply ReadReply(int fd, int timeout_ms = 10000) {
  std::string raw;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char buffer[4096];
  for (;;) {
    if (const size_t head_end = raw.find("\r\n\r\n"); head_end != std::string::npos) {
      HttpReply r = ParseReply(raw);
      const auto length = r.headers.find("content-length");
      if (length != r.headers.end() && raw.size() - head_end - 4 >= std::stoul(length->second)) return r;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return {};
    raw.append(buffer, static_cast<size_t>(n));
  }
}

// Segments the kernel sent again on this connection, the SYN included: a
// SYN dropped by a full listen queue counts here.
inline unsigned Retransmits(int fd) {
  tcp_info info{};
  socklen_t size = sizeof info;
  return ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 ? info.tcpi_total_retrans : 0;
}

inline HttpReply Exchange(int port, const std::string& bytes, const std::string& source_ip = "",
                          int timeout_ms = 10000) {
  const int fd = Connect(port, source_ip);
  if (fd < 0) throw std::runtime_error("cannot connect to port " + std::to_string(port));
  SendAll(fd, bytes);
  const std::string raw = ReadAll(fd, timeout_ms);
  ::close(fd);
  return ParseReply(raw);
}

inline HttpReply Request(int port, const std::string& method, const std::string& target,
                         const std::string& body = "", const std::string& extra_headers = "",
                         const std::string& source_ip = "") {
  std::string bytes = method + " " + target + " HTTP/1.1\r\nHost: localhost\r\n" + extra_headers;
  if (!body.empty() || method == "POST") bytes += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  bytes += "\r\n" + body;
  return Exchange(port, bytes, source_ip);
}

}  // namespace zuntar::test
