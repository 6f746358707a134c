// Debian's chromium, headless, driven over its DevTools pipe for tests that
// need a real browser: pages of any origin are served from the test itself
// (requests to those origins are answered through the Fetch domain, so no
// name resolution or web server is involved), or fetched from a real server
// on loopback (PageServer), and scripts run in them.
//
// Every wait is bounded; the browser and all its helper processes end with
// the object.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace zuntar::test {

inline constexpr char kChromium[] = "/usr/bin/chromium";

// A JSON string literal of `text`.
std::string JsonString(const std::string& text);
// The value of the first string member `name` in a JSON text, unescaped;
// nothing when there is none.
std::optional<std::string> JsonStringMember(const std::string& json, const std::string& name);

class HeadlessChromium {
 public:
  static constexpr std::chrono::seconds kCallLimit{30};

  // Starts the browser with a fresh profile and opens a session on its
  // first page; `extra_args` go on its command line. Throws
  // std::runtime_error when that fails.
  explicit HeadlessChromium(const std::vector<std::string>& extra_args = {});
  ~HeadlessChromium();
  HeadlessChromium(const HeadlessChromium&) = delete;
  HeadlessChromium& operator=(const HeadlessChromium&) = delete;

  // What the browser gets for these URLs (exact match): HTML unless
  // `content_type` says otherwise (a page's module script, say).
  void ServePage(const std::string& url, const std::string& body,
                 const std::string& content_type = "text/html;charset=utf-8") {
    pages_[url] = {content_type, body};
  }
  // Lets pages of `origin` reach this machine's loopback addresses, as the
  // person does in the browser's own local-network question.
  void AllowLoopback(const std::string& origin);
  // Opens the URL and waits until its document has loaded. Only the pages
  // given to ServePage are answered by the test; every other URL goes to
  // the network.
  void Navigate(const std::string& url);
  // Runs a script in the page and waits for its promise, at most `limit`;
  // the string it resolves to.
  std::string Evaluate(const std::string& expression, std::chrono::seconds limit = kCallLimit);

  // A PNG of the whole page (not only the window's part) written to `file`.
  void Screenshot(const std::string& file);

  // One DevTools command; the whole reply message. Throws on time-out or
  // an error reply.
  std::string Call(const std::string& method, const std::string& params = "{}", bool in_page = true,
                   std::chrono::seconds limit = kCallLimit);
  // The browser's standard error, for failure messages.
  std::string Log() const;

 private:
  std::string Read(std::chrono::steady_clock::time_point deadline);
  void OnEvent(const std::string& message);
  void Send(const std::string& message);

  TempDir profile_;
  pid_t pid_ = -1;
  int to_browser_ = -1;
  int from_browser_ = -1;
  std::string pending_;
  int next_id_ = 0;
  std::string session_;
  std::map<std::string, std::pair<std::string, std::string>> pages_;  // url: content type, body
  bool loaded_ = false;
};

}  // namespace zuntar::test
