// The listening socket of the HTTP server and the calls made on it.
#pragma once

#include <sys/socket.h>

#include <string>

#include "platform/unique_fd.h"

namespace zuntar {

// A non-blocking listening socket. With an empty `address`, on every local
// address: one IPv6 socket that takes IPv4 clients too (as IPv4-mapped
// addresses), or an IPv4 one on a machine without IPv6. Otherwise on that
// one address: IPv4, IPv6 with or without brackets, or "localhost" for
// 127.0.0.1. Throws std::invalid_argument for an address that is none of
// these, std::system_error when the port cannot be bound.
UniqueFd OpenListener(const std::string& address, int port, int backlog);

// The port a socket is bound to.
int BoundPort(int fd);

// A connection from the listening socket's queue, or none with errno set:
// EAGAIN when the queue is empty.
UniqueFd AcceptFrom(int listener, sockaddr_storage& peer);

// Whether an accept failed for want of descriptors or memory: the queue
// then stays full, and trying again at once would only spin.
bool IsOutOfResources(int error);

// Closes a connection at once, without a reply: a reset rather than an
// orderly close, so nothing more is exchanged for it and no TIME_WAIT is
// left behind, and a client that retries in a loop costs little.
void RefuseConnection(UniqueFd connection);

}  // namespace zuntar
