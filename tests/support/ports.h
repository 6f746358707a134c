// TCP ports for tests that start listeners.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zuntar::test {

// A socket listening on a port the system picked, on every address, for
// the life of the object: the port is taken.
class ListeningSocket {
 public:
  ListeningSocket() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd_, 1);
    socklen_t size = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &size);
    port_ = ntohs(addr.sin_port);
  }
  ~ListeningSocket() { ::close(fd_); }
  ListeningSocket(const ListeningSocket&) = delete;
  ListeningSocket& operator=(const ListeningSocket&) = delete;

  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

// A port nobody listens on now (the system picks it, then it is let go).
inline int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t size = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
  ::close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace zuntar::test
