#include "page_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace zuntar::test {
namespace {

constexpr int kPollMs = 50;
constexpr int kReadMs = 5000;

// The request head, or what came before the peer stopped sending.
std::string ReadHead(int fd) {
  std::string head;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadMs);
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    head.append(buffer, static_cast<size_t>(n));
  }
  return head;
}

void SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

}  // namespace

PageServer::PageServer() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof addr;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener_, 16) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &size) != 0) {
    if (listener_ >= 0) ::close(listener_);
    throw std::runtime_error("the page server cannot listen");
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { Run(); });
}

PageServer::~PageServer() {
  stop_ = true;
  thread_.join();
  ::close(listener_);
}

void PageServer::Serve(const std::string& path, const std::string& html) {
  const std::lock_guard lock(mutex_);
  pages_[path] = html;
}

int PageServer::Requests(const std::string& path) const {
  const std::lock_guard lock(mutex_);
  const auto it = requests_.find(path);
  return it == requests_.end() ? 0 : it->second;
}

void PageServer::Run() {
  while (!stop_) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, kPollMs) <= 0) continue;
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    Answer(fd);
    ::close(fd);
  }
}

void PageServer::Answer(int fd) {
  const std::string head = ReadHead(fd);
  // "GET /path HTTP/1.1": the method and the target.
  const size_t sp1 = head.find(' ');
  const size_t sp2 = sp1 == std::string::npos ? std::string::npos : head.find(' ', sp1 + 1);
  if (sp2 == std::string::npos) return;
  const std::string method = head.substr(0, sp1), path = head.substr(sp1 + 1, sp2 - sp1 - 1);
  std::string body;
  bool found = false;
  {
    const std::lock_guard lock(mutex_);
    ++requests_[path];
    if (const auto it = pages_.find(path); it != pages_.end() && method == "GET") {
      body = it->second;
      found = true;
    }
  }
  SendAll(fd, std::string(found ? "HTTP/1.1 200 OK" : "HTTP/1.1 404 Not Found") +
                  "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
}

}  // namespace zuntar::test
