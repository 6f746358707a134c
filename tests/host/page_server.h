// A small web server of a test on a loopback port of its own: it serves
// fixed pages to a real browser, so that a page's origin (scheme, host and
// port) is a real one the browser fetched, not one the test made up.
//
// One thread answers one request per connection; the server ends with the
// object.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace zuntar::test {

class PageServer {
 public:
  // Listens on 127.0.0.1 on a port the system picks. Throws
  // std::runtime_error when it cannot.
  PageServer();
  ~PageServer();
  PageServer(const PageServer&) = delete;
  PageServer& operator=(const PageServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>", as browsers write the origin of its pages.
  std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // The page served for `path` (exact match) as UTF-8 HTML; other paths get
  // 404.
  void Serve(const std::string& path, const std::string& html);
  // How often `path` was asked for.
  int Requests(const std::string& path) const;

 private:
  void Run();
  void Answer(int fd);

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::map<std::string, std::string> pages_;
  std::map<std::string, int> requests_;
  std::thread thread_;
};

}  // namespace zuntar::test
