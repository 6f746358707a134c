#include "http/host_header.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>

namespace zuntar {
namespace {

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string_view WithoutFinalDot(std::string_view name) {
  return name.ends_with('.') ? name.substr(0, name.size() - 1) : name;
}

IpAddress FromV4(const in_addr& a) {
  IpAddress ip;
  std::memcpy(ip.bytes.data(), &a, 4);
  return ip;
}

IpAddress FromV6(const in6_addr& a) {
  if (IN6_IS_ADDR_V4MAPPED(&a)) {
    IpAddress ip;
    std::memcpy(ip.bytes.data(), &a.s6_addr[12], 4);
    return ip;
  }
  IpAddress ip;
  ip.v6 = true;
  std::memcpy(ip.bytes.data(), &a, 16);
  return ip;
}

// ":" and 1 to 5 digits up to 65535, or nothing.
bool IsPortPart(std::string_view rest) {
  if (rest.empty()) return true;
  if (rest[0] != ':' || rest.size() < 2 || rest.size() > 6) return false;
  unsigned port = 0;
  for (char c : rest.substr(1)) {
    if (c < '0' || c > '9') return false;
    port = port * 10 + static_cast<unsigned>(c - '0');
  }
  return port <= 65535;
}

// The canonical name the resolver gives for `host_name` (from /etc/hosts as
// a rule), or nothing.
std::string CanonicalName(const std::string& host_name) {
  addrinfo hints{};
  hints.ai_flags = AI_CANONNAME;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host_name.c_str(), nullptr, &hints, &found) != 0) return "";
  std::string name = found->ai_canonname ? LowerAscii(WithoutFinalDot(found->ai_canonname)) : "";
  ::freeaddrinfo(found);
  return name;
}

bool IsInterfaceAddress(const IpAddress& address) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  bool found = false;
  for (const ifaddrs* i = list; i != nullptr && !found; i = i->ifa_next) {
    if (i->ifa_addr == nullptr) continue;
    if (i->ifa_addr->sa_family == AF_INET)
      found = FromV4(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr) == address;
    else if (i->ifa_addr->sa_family == AF_INET6)
      found = FromV6(reinterpret_cast<const sockaddr_in6*>(i->ifa_addr)->sin6_addr) == address;
  }
  ::freeifaddrs(list);
  return found;
}

}  // namespace

bool IpAddress::IsLoopback() const { return v6 ? FromV6(in6addr_loopback) == *this : bytes[0] == 127; }

std::optional<IpAddress> ParseIpAddress(const std::string& text) {
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) return FromV4(v4);
  in6_addr v6{};
  if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) return FromV6(v6);
  return std::nullopt;
}

std::optional<HostHeader> ParseHostHeader(std::string_view value) {
  HostHeader host;
  if (value.starts_with('[')) {
    const size_t close = value.find(']');
    if (close == std::string_view::npos || !IsPortPart(value.substr(close + 1))) return std::nullopt;
    in6_addr v6{};
    if (::inet_pton(AF_INET6, std::string(value.substr(1, close - 1)).c_str(), &v6) != 1) return std::nullopt;
    host.address = FromV6(v6);
    return host;
  }
  const size_t colon = value.find(':');
  const std::string_view name = WithoutFinalDot(value.substr(0, colon));
  if (name.empty() || (colon != std::string_view::npos && !IsPortPart(value.substr(colon)))) return std::nullopt;
  in_addr v4{};
  if (::inet_pton(AF_INET, std::string(name).c_str(), &v4) == 1)
    host.address = FromV4(v4);
  else
    host.name = LowerAscii(name);
  return host;
}

bool TMachineNames::Names(const HostHeader& host, const std::string& local_ip) {
  if (!host.address) return IsOwnName(host.name);
  if (const std::optional<IpAddress> reached = ParseIpAddress(local_ip); reached && *reached == *host.address)
    return true;
  return IsInterfaceAddress(*host.address);
}

bool TMachineNames::IsOwnName(const std::string& name) {
  char text[256] = {};
  if (::gethostname(text, sizeof text - 1) != 0 || text[0] == '\0') return false;
  const std::string host_name = LowerAscii(WithoutFinalDot(text));
  if (name == host_name) return true;
  // The host name is looked up once (it may take the resolver a while),
  // and again only when it changes.
  MutexLock lock(mu_);
  if (host_name != host_name_) {
    canonical_ = CanonicalName(host_name);
    host_name_ = host_name;
  }
  return !canonical_.empty() && name == canonical_;
}

bool HostNamesThisMachine(std::string_view value, bool local_peer, const std::string& local_ip,
                          TMachineNames& machine) {
  const std::optional<HostHeader> host = ParseHostHeader(value);
  if (!host) return false;
  if (host->address ? host->address->IsLoopback() : host->name == "localhost") return true;
  return !local_peer && machine.Names(*host, local_ip);
}

}  // namespace zuntar
