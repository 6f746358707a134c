#include "http/listen_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace zuntar {
namespace {

std::system_error SocketError(const std::string& what) {
  return std::system_error(errno, std::generic_category(), what);
}

UniqueFd NewSocket(int family) {
  return UniqueFd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
}

// `address`: the one asked for, named by the error; empty for every address.
void BindAndListen(int fd, const sockaddr* addr, socklen_t size, int backlog, const std::string& address = "") {
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd, addr, size) != 0) {
    const int error = errno;
    throw std::system_error(error, std::generic_category(), address.empty() ? "bind" : "bind " + address);
  }
  if (::listen(fd, backlog) != 0) throw SocketError("listen");
}

// Every address, IPv4 clients included; nothing on a machine without IPv6.
UniqueFd OpenDualStackListener(int port, int backlog) {
  UniqueFd fd = NewSocket(AF_INET6);
  if (!fd.valid()) {
    if (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT) return {};
    throw SocketError("socket");
  }
  const int off = 0;
  if (::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) return {};
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_port = htons(static_cast<uint16_t>(port));
  addr.sin6_addr = in6addr_any;
  try {
    BindAndListen(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr, backlog);
  } catch (const std::system_error& e) {
    if (e.code().value() == EADDRNOTAVAIL) return {};
    throw;
  }
  return fd;
}

UniqueFd OpenIPv4Listener(in_addr address, int port, int backlog, const std::string& text = "") {
  UniqueFd fd = NewSocket(AF_INET);
  if (!fd.valid()) throw SocketError("socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr = address;
  BindAndListen(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr, backlog, text);
  return fd;
}

UniqueFd OpenIPv6Listener(const in6_addr& address, int port, int backlog, const std::string& text) {
  UniqueFd fd = NewSocket(AF_INET6);
  if (!fd.valid()) throw SocketError("socket");
  const int on = 1;
  ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_port = htons(static_cast<uint16_t>(port));
  addr.sin6_addr = address;
  BindAndListen(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr, backlog, text);
  return fd;
}

}  // namespace

UniqueFd OpenListener(const std::string& address, int port, int backlog) {
  if (address.empty()) {
    if (UniqueFd fd = OpenDualStackListener(port, backlog); fd.valid()) return fd;
    return OpenIPv4Listener(in_addr{htonl(INADDR_ANY)}, port, backlog);
  }
  in_addr v4{htonl(INADDR_LOOPBACK)};
  if (address == "localhost" || ::inet_pton(AF_INET, address.c_str(), &v4) == 1)
    return OpenIPv4Listener(v4, port, backlog, address);
  std::string v6_text = address;
  if (v6_text.size() > 2 && v6_text.front() == '[' && v6_text.back() == ']') v6_text = v6_text.substr(1, v6_text.size() - 2);
  in6_addr v6{};
  if (::inet_pton(AF_INET6, v6_text.c_str(), &v6) != 1)
    throw std::invalid_argument("LISTENADDRESS \"" + address + "\" is not an IP address of this machine");
  if (IN6_IS_ADDR_UNSPECIFIED(&v6)) {  // "::" is every address, as without a setting
    if (UniqueFd fd = OpenDualStackListener(port, backlog); fd.valid()) return fd;
  }
  return OpenIPv6Listener(v6, port, backlog, address);
}

int BoundPort(int fd) {
  sockaddr_storage addr{};
  socklen_t size = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
  return addr.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6&>(addr).sin6_port)
                                    : ntohs(reinterpret_cast<sockaddr_in&>(addr).sin_port);
}

UniqueFd AcceptFrom(int listener, sockaddr_storage& peer) {
  for (;;) {
    socklen_t size = sizeof peer;
    const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
    if (fd >= 0 || (errno != EINTR && errno != ECONNABORTED)) return UniqueFd(fd);
  }
}

bool IsOutOfResources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

void RefuseConnection(UniqueFd connection) {
  const linger abort{1, 0};
  ::setsockopt(connection.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

}  // namespace zuntar
