#include "http/listen_socket.h"

#include <netinet/in.h>

#include <cerrno>
#include <system_error>

namespace zuntar {
namespace {

std::system_error SocketError(const char* what) { return std::system_error(errno, std::generic_category(), what); }

UniqueFd OpenIPv6Listener(int port, int backlog) {
  UniqueFd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) {
    if (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT) return {};
    throw SocketError("socket");
  }
  const int on = 1, off = 0;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) return {};
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_port = htons(static_cast<uint16_t>(port));
  addr.sin6_addr = in6addr_any;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno == EADDRNOTAVAIL) return {};
    throw SocketError("bind");
  }
  if (::listen(fd.get(), backlog) != 0) throw SocketError("listen");
  return fd;
}

UniqueFd OpenIPv4Listener(int port, int backlog) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) throw SocketError("socket");
  const int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) throw SocketError("bind");
  if (::listen(fd.get(), backlog) != 0) throw SocketError("listen");
  return fd;
}

}  // namespace

UniqueFd OpenListener(int port, int backlog) {
  if (UniqueFd fd = OpenIPv6Listener(port, backlog); fd.valid()) return fd;
  return OpenIPv4Listener(port, backlog);
}

int BoundPort(int fd) {
  sockaddr_storage addr{};
  socklen_t size = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
  return addr.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6&>(addr).sin6_port)
                                    : ntohs(reinterpret_cast<sockaddr_in&>(addr).sin_port);
}

int AcceptFrom(int listener, sockaddr_storage& peer) {
  for (;;) {
    socklen_t size = sizeof peer;
    const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
    if (fd >= 0 || (errno != EINTR && errno != ECONNABORTED)) return fd;
  }
}

bool IsOutOfResources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

void RefuseConnection(int fd) {
  const linger abort{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  ::close(fd);
}

}  // namespace zuntar
