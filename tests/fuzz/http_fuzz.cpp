// Feeds arbitrary bytes to the plugin's HTTP front end as the bytes of one
// connection: the server's own connection code (ServeConnection) reads them
// from one end of a socket pair with the server's limits, the plugin's
// dispatch answers with every command registered as Start registers them,
// and the reply that comes out of the other end must be one well-formed
// HTTP response carrying the headers every reply carries.
//
// No port is opened and no database is used (queued tasks are refused,
// _SYNC tasks run on the calling thread). Everything the plugin touches
// lies under ZUNTAR_PLATFORM_ROOT: scripts/fuzz.sh prepares one with the
// provider registered and the test PKI, so certificate and key commands run
// against real stores and keys. Without it the target makes an empty one
// under /tmp and never touches the user's files.
//
// The first input byte picks the log level (0 to 4), whether the peer is
// this machine or another one, and whether pages of every origin are let
// through or only a listed one with the person's consent (nobody is there
// to give it); the rest is the request.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <thread>

#include "certs/provider_detection.h"
#include "core/process_values.h"
#include "core/settings.h"
#include "host/headless_control.h"
#include "host/start_checks.h"
#include "http/fd_stream.h"
#include "http/http_access.h"
#include "http/http_connection.h"

namespace zuntar {
namespace {

namespace http = boost::beast::http;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

std::unique_ptr<THttpAccess> MakeAccess(PluginContext& plugin, const std::string& exe_dir, const std::string& origins,
                                        bool confirm) {
  Settings s = DefaultSettings(exe_dir);
  s.HTTPPORT = 0;
  s.ALLOWEDORIGINS = origins;
  s.CONFIRMORIGINS = confirm ? 1 : 0;
  plugin.settings.Set(s);
  return std::make_unique<THttpAccess>(plugin, PluginCommands(), OriginConsentFile(), /*listen=*/false);
}

struct Plugin {
  std::string exe_dir;
  PluginContext plugin;
  std::unique_ptr<THttpAccess> open_access;     // ALLOWEDORIGINS=*
  std::unique_ptr<THttpAccess> guarded_access;  // one listed origin, consent asked
  THTTPAccessThread worker{plugin.settings};
  size_t requests = 0;

  Plugin() {
    const char* root = std::getenv("ZUNTAR_PLATFORM_ROOT");
    if (root == nullptr || *root == '\0') {
      char folder[] = "/tmp/zuntar-fuzz-http-XXXXXX";
      Check(::mkdtemp(folder) != nullptr);
      ::setenv("ZUNTAR_PLATFORM_ROOT", folder, 1);
      root = std::getenv("ZUNTAR_PLATFORM_ROOT");
    }
    exe_dir = std::string(root) + "/exe/";
    std::filesystem::create_directories(exe_dir);
    StartupValues v = BasicStartupValues(exe_dir);
    v.IsCP1251 = false;  // no database: queued tasks are refused, _SYNC ones run
    v.PluginVersion = "1.0.0.1";
    SetStartupValues(v);
    plugin.settings.Set(DefaultSettings(exe_dir));
    plugin.providers.Set(CheckCryptoProvider(plugin.certificate_manager));
    if (CSPStatus().empty()) CreateStartCertificateManager(plugin.certificate_manager, plugin.providers.Get());
    open_access = MakeAccess(plugin, exe_dir, "*", false);
    guarded_access = MakeAccess(plugin, exe_dir, "http://pages.example", true);
    plugin.settings.Set(DefaultSettings(exe_dir));
  }

  // The log grows by a few lines a request; GETLOGFILE reads all of it.
  void TrimLog() {
    if (++requests % 1024 == 0) std::filesystem::resize_file(LogFileName(), 0);
  }
};

Plugin& ThePlugin() {
  static Plugin* plugin = new Plugin;  // lives as long as the process
  return *plugin;
}

sockaddr_storage PeerAddress(bool local) {
  sockaddr_storage peer{};
  auto& in = reinterpret_cast<sockaddr_in&>(peer);
  in.sin_family = AF_INET;
  in.sin_addr.s_addr = htonl(local ? INADDR_LOOPBACK : 0xC0000207);  // 192.0.2.7
  return peer;
}

// Runs one connection: the request goes in whole (then the client's side
// is shut for writing), the reply is read on a thread of its own so a
// large one never blocks the server's writes.
std::string Exchange(std::string_view request, bool local_peer, THttpAccess& access, THTTPAccessThread& worker) {
  int ends[2];
  Check(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0);
  std::string reply;
  std::thread client([&] {
    size_t sent = 0;
    while (sent < request.size()) {
      const ssize_t n = ::send(ends[0], request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    ::shutdown(ends[0], SHUT_WR);
    char chunk[65536];
    for (ssize_t n; (n = ::recv(ends[0], chunk, sizeof chunk, 0)) > 0;) reply.append(chunk, static_cast<size_t>(n));
  });
  bool released = false;
  SetReceiveTimeout(ends[1], FirstReadTimeout(HttpServerOptions{}));  // as an accepted socket has it
  ServeConnection(ends[1], PeerAddress(local_peer), HttpServerOptions{}, access, worker, [&] {
    Check(!released);
    released = true;
  });
  Check(released);  // the slot goes back exactly once, reply or not
  ::close(ends[1]);
  client.join();
  ::close(ends[0]);
  return reply;
}

// Whatever came back is one response with the headers every reply carries,
// and nothing after it; an admitted request that expects it is told to go
// on first, and gets nothing more when its body then never comes whole.
void CheckReply(std::string_view reply) {
  constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
  if (reply.starts_with(kContinue)) reply.remove_prefix(kContinue.size());
  if (reply.empty()) return;  // the request was cut short or not HTTP
  http::response_parser<http::string_body> parser;
  parser.body_limit(std::numeric_limits<std::uint64_t>::max());
  parser.eager(true);
  boost::system::error_code ec;
  const size_t used = parser.put(boost::asio::buffer(reply), ec);
  Check(!ec && parser.is_done() && used == reply.size());
  const auto& m = parser.get();
  Check(m.result_int() >= 100 && m.result_int() <= 999);
  Check(m.find("Server") != m.end());
  if (m.result_int() != 406) {  // a refused body is answered before the dispatch
    Check(m.find("Access-Control-Allow-Methods") != m.end());
    Check(m.find("MERVO") != m.end());
  }
}

}  // namespace
}  // namespace zuntar

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zuntar;
  if (size == 0) return 0;
  Plugin& plugin = ThePlugin();
  SetLogLevel(data[0] % 5);
  const bool local_peer = (data[0] & 0x80) == 0;
  THttpAccess& access = (data[0] & 0x40) == 0 ? *plugin.open_access : *plugin.guarded_access;
  const std::string_view request(reinterpret_cast<const char*>(data) + 1, size - 1);
  CheckReply(Exchange(request, local_peer, access, plugin.worker));
  plugin.TrimLog();
  return 0;
}
