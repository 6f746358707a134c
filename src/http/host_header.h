// Which Host headers name this machine.
//
// A page of any site can have a name of its own point at this machine (DNS
// rebinding) and then call the plugin as a page of that very name: to the
// browser it is the page's own server, so no Origin header and no CORS rule
// is in the way. Its requests still carry that name in Host, so a request
// is answered only when Host names this machine: "localhost", an address
// of 127.0.0.0/8 or [::1], each with or without a port; and for a peer on
// the network also the machine's own name or one of its own addresses.
// Programs that send no Host at all (HTTP/1.0) are not refused.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/thread_annotations.h"

namespace zuntar {

// An IPv4 or IPv6 address; an IPv4-mapped IPv6 address is its IPv4 one.
struct IpAddress {
  bool v6 = false;
  std::array<uint8_t, 16> bytes{};  // IPv4: the first four

  bool operator==(const IpAddress&) const = default;
  bool IsLoopback() const;
};

// The address `text` writes (dotted IPv4, or IPv6 without brackets).
std::optional<IpAddress> ParseIpAddress(const std::string& text);

// The host of a Host header value: "name", "a.b.c.d" or "[v6]", each with
// an optional ":port". Names are in lower case without one final dot.
struct HostHeader {
  std::string name;                  // empty for an address
  std::optional<IpAddress> address;  // for an address
};

// Nothing when `value` is not one host with an optional port of 1 to 5
// digits (two Host headers, joined with ", ", are not one).
std::optional<HostHeader> ParseHostHeader(std::string_view value);

// This machine's host name, its canonical name and its addresses, for the
// requests of peers on the network.
class TMachineNames {
 public:
  // Whether `host` names this machine: its host name, the canonical name
  // the resolver gives for it, `local_ip` (the address the peer reached),
  // or an address of one of its interfaces.
  bool Names(const HostHeader& host, const std::string& local_ip);

 private:
  bool IsOwnName(const std::string& name);

  Mutex mu_;
  std::string host_name_ GUARDED_BY(mu_);  // the name the canonical one was looked up for
  std::string canonical_ GUARDED_BY(mu_);  // lower case, without a final dot
};

// Whether a request with Host header `value` may be answered: it names
// this machine as the peer may name it (`local_peer`: on this machine).
bool HostNamesThisMachine(std::string_view value, bool local_peer, const std::string& local_ip,
                          TMachineNames& machine);

}  // namespace zuntar
