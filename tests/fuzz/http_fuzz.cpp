// Feeds arbitrary bytes to the plugin's HTTP front end as the bytes of one
// connection: Beast parses them with the server's limits, the plugin's own
// dispatch answers with every command registered as Start registers them,
// and the reply is serialised and checked for the headers every reply
// carries.
//
// No socket is opened and no database is used (queued tasks are refused,
// _SYNC tasks run on the calling thread). Everything the plugin touches
// lies under ZUNTAR_PLATFORM_ROOT: scripts/fuzz.sh prepares one with the
// provider registered and the test PKI, so certificate and key commands run
// against real stores and keys. Without it the target makes an empty one
// under /tmp and never touches the user's files.
//
// The first input byte picks the log level (0 to 4) and whether the peer
// is this machine or another one; the rest is the request.
#include <sys/stat.h>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "certs/provider_detection.h"
#include "core/process_values.h"
#include "core/settings.h"
#include "host/headless_control.h"
#include "host/start_checks.h"
#include "http/http_access.h"

namespace zuntar {
namespace {

namespace http = boost::beast::http;

constexpr size_t kHeaderLimit = 16 * 1024;  // as the server reads a request head
constexpr uint64_t kBodyLimit = 268435456;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

struct Plugin {
  std::string exe_dir;
  std::unique_ptr<THttpAccess> access;
  THTTPAccessThread worker;
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
    Settings s = DefaultSettings(exe_dir);
    s.HTTPPORT = 0;
    SetCurrentSettings(s);
    CheckCryptoProvider();
    if (CSPStatus().empty()) CreateStartCertificateManager();
    access = std::make_unique<THttpAccess>(PluginCommands(), /*listen=*/false);
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

// What the server takes from a parsed request.
HttpRequest ToRequest(http::request<http::string_body>& message, bool local_peer) {
  HttpRequest r;
  r.method = std::string(message.method_string());
  const std::string_view target(message.target().data(), message.target().size());
  const size_t q = target.find('?');
  r.path = std::string(target.substr(0, q));
  if (q != std::string_view::npos) r.query = std::string(target.substr(q + 1));
  r.body = std::move(message.body());
  if (auto it = message.find(http::field::origin); it != message.end()) r.origin = std::string(it->value());
  r.local_ip = "127.0.0.1";
  r.peer_ip = local_peer ? "127.0.0.1" : "192.0.2.7";
  return r;
}

std::string Serialise(HttpResponse& r) {
  http::response<http::string_body> m;
  m.version(11);
  m.result(static_cast<unsigned>(r.status));
  for (char c : r.reason) Check(c != '\r' && c != '\n');
  if (!r.reason.empty()) m.reason(r.reason);
  m.set(http::field::server, "MERVO");
  if (!r.content_type.empty()) m.set(http::field::content_type, r.content_type);
  for (const auto& [name, value] : r.headers) m.set(name, value);
  m.body() = std::move(r.body);
  m.prepare_payload();
  std::ostringstream out;
  out << m;
  return out.str();
}

// Parses `bytes` as one connection's whole request: false when they end
// before the request does or are not HTTP (the server closes such a
// connection without a reply).
bool Parse(std::string_view bytes, http::request_parser<http::string_body>& parser) {
  parser.header_limit(kHeaderLimit);
  parser.body_limit(kBodyLimit - 1);
  parser.eager(true);
  boost::system::error_code ec;
  while (!parser.is_done()) {
    const size_t used = parser.put(boost::asio::buffer(bytes.data(), bytes.size()), ec);
    bytes.remove_prefix(used);
    if (ec == http::error::need_more && used > 0) continue;
    if (ec == http::error::need_more || (!ec && used == 0)) {
      parser.put_eof(ec);
      return !ec && parser.is_done();
    }
    if (ec) return false;
  }
  return true;
}

}  // namespace
}  // namespace zuntar

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zuntar;
  if (size == 0) return 0;
  Plugin& plugin = ThePlugin();
  Settings s = CurrentSettings();
  s.LOG_LEVEL = data[0] % 5;
  SetCurrentSettings(s);
  const bool local_peer = (data[0] & 0x80) == 0;

  http::request_parser<http::string_body> parser;
  if (!Parse(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1), parser)) return 0;
  HttpRequest request = ToRequest(parser.get(), local_peer);
  HttpResponse response;
  plugin.access->HTTPServerCommandGet(plugin.worker, request, response);
  Check(response.status >= 100 && response.status <= 999);
  Check(response.Header("Access-Control-Allow-Methods") != nullptr);
  Check(response.Header("MERVO") != nullptr);
  const std::string reply = Serialise(response);
  Check(reply.rfind("HTTP/1.1 ", 0) == 0);
  plugin.TrimLog();
  return 0;
}
