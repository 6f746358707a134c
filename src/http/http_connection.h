// One exchange on an accepted connection: read the request, run the
// handler, write the reply. The listener and its workers live in
// http_server.h; this is what a worker does with each connection.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <functional>

#include "http/http_server.h"

namespace zuntar {

// The receive time-out a connection starts with: the header deadline, or
// the read time-out when that is shorter. The listening socket carries it.
std::chrono::milliseconds FirstReadTimeout(const HttpServerOptions& options);

// Serves the one request of connection `fd` from `peer`; never closes `fd`.
// `fd` has the receive time-out FirstReadTimeout(options) already (an
// accepted socket has its listening socket's).
// `release_slot` runs exactly once: just before the last byte of the reply
// is sent (a small reply goes out in one call, just after it), so a client
// that has the whole reply always finds the connection given back, or when
// the connection ends without a reply. Read and write failures are
// reported to the handler's OnConnectionError.
void ServeConnection(int fd, const sockaddr_storage& peer, const HttpServerOptions& options, HttpHandler& handler,
                     WorkerState& state, const std::function<void()>& release_slot);

// The address as text: dotted IPv4 (IPv4-mapped IPv6 addresses too), or
// IPv6 in its short form.
std::string AddressText(const sockaddr_storage& addr);

}  // namespace zuntar
