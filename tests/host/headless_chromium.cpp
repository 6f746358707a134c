#include "headless_chromium.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/base64.h"
#include "platform/file_io.h"

extern char** environ;

namespace zuntar::test {
namespace {

using Clock = std::chrono::steady_clock;

void AppendUtf8(std::string& out, unsigned code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// A pipe end moved above the descriptors the child is given (3 and 4).
int HighFd(int fd) {
  const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
  ::close(fd);
  return high;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", u);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::optional<std::string> JsonStringMember(const std::string& json, const std::string& name) {
  const std::string key = "\"" + name + "\":\"";
  size_t at = json.find(key);
  if (at == std::string::npos) return std::nullopt;
  std::string out;
  for (at += key.size(); at < json.size(); ++at) {
    const char c = json[at];
    if (c == '"') return out;
    if (c != '\\' || at + 1 >= json.size()) {
      out += c;
      continue;
    }
    const char e = json[++at];
    switch (e) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'u': {
        if (at + 4 >= json.size()) return std::nullopt;
        unsigned code = std::stoul(json.substr(at + 1, 4), nullptr, 16);
        at += 4;
        if (code >= 0xD800 && code < 0xDC00 && json.compare(at + 1, 2, "\\u") == 0) {
          const unsigned low = std::stoul(json.substr(at + 3, 4), nullptr, 16);
          code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          at += 6;
        }
        AppendUtf8(out, code);
        break;
      }
      default: out += e;  // \" \\ \/
    }
  }
  return std::nullopt;
}

HeadlessChromium::HeadlessChromium(const std::vector<std::string>& extra_args) {
  int to[2], from[2];
  if (::pipe2(to, O_CLOEXEC) != 0 || ::pipe2(from, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const int child_in = HighFd(to[0]), child_out = HighFd(from[1]);
  to_browser_ = HighFd(to[1]);
  from_browser_ = HighFd(from[0]);

  const std::string log = profile_ / "chromium.log";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, child_in, 3);
  posix_spawn_file_actions_adddup2(&actions, child_out, 4);
  // A group of its own, so its helper processes end with it.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);

  std::vector<std::string> args = {kChromium,
                                   "--headless",
                                   "--no-sandbox",
                                   "--disable-gpu",
                                   "--disable-quic",
                                   "--no-first-run",
                                   "--disable-background-networking",
                                   "--disable-component-update",
                                   "--disable-sync",
                                   "--user-data-dir=" + profile_ / "profile",
                                   "--remote-debugging-pipe"};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  args.push_back("about:blank");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int rc = posix_spawn(&pid_, kChromium, &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(child_in);
  ::close(child_out);
  if (rc != 0) {
    pid_ = -1;
    throw std::runtime_error(std::string("cannot start ") + kChromium);
  }
  const std::string target = JsonStringMember(Call("Target.createTarget", "{\"url\":\"about:blank\"}", false),
                                              "targetId")
                                 .value_or("");
  const std::string attached =
      Call("Target.attachToTarget", "{\"targetId\":" + JsonString(target) + ",\"flatten\":true}", false);
  session_ = JsonStringMember(attached, "sessionId").value_or("");
  if (session_.empty()) throw std::runtime_error("no page session: " + attached);
  Call("Page.enable");
}

HeadlessChromium::~HeadlessChromium() {
  if (pid_ > 0) {
    try {
      Send("{\"id\":999999,\"method\":\"Browser.close\",\"params\":{}}");
    } catch (const std::exception&) {
      // Ended already: it is reaped below.
    }
    int status = 0;
    const auto until = Clock::now() + std::chrono::seconds(5);
    while (::waitpid(pid_, &status, WNOHANG) == 0 && Clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::kill(-pid_, SIGKILL);  // helpers, and the browser itself if it hangs
    ::waitpid(pid_, &status, 0);
  }
  if (to_browser_ >= 0) ::close(to_browser_);
  if (from_browser_ >= 0) ::close(from_browser_);
}

void HeadlessChromium::Send(const std::string& message) {
  const std::string bytes = message + '\0';
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::write(to_browser_, bytes.data() + sent, bytes.size() - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("the browser's pipe is closed");
    sent += static_cast<size_t>(n);
  }
}

std::string HeadlessChromium::Read(Clock::time_point deadline) {
  for (;;) {
    if (const size_t end = pending_.find('\0'); end != std::string::npos) {
      std::string message = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return message;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{from_browser_, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
      throw std::runtime_error("the browser did not answer in time\n" + Log());
    char buffer[65536];
    const ssize_t n = ::read(from_browser_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("the browser ended\n" + Log());
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

void HeadlessChromium::OnEvent(const std::string& message) {
  if (message.find("\"method\":\"Page.loadEventFired\"") != std::string::npos) loaded_ = true;
  if (message.find("\"method\":\"Fetch.requestPaused\"") == std::string::npos) return;
  const std::string request = JsonStringMember(message, "requestId").value_or("");
  const auto page = pages_.find(JsonStringMember(message, "url").value_or(""));
  const bool found = page != pages_.end();
  Send("{\"id\":" + std::to_string(++next_id_) +
       ",\"method\":\"Fetch.fulfillRequest\",\"params\":{\"requestId\":" + JsonString(request) +
       ",\"responseCode\":" + (found ? "200" : "404") +
       ",\"responseHeaders\":[{\"name\":\"Content-Type\",\"value\":" +
       JsonString(found ? page->second.first : "text/html;charset=utf-8") + "}],\"body\":" +
       JsonString(Base64Encode(found ? page->second.second : "")) + "},\"sessionId\":" + JsonString(session_) + "}");
}

std::string HeadlessChromium::Call(const std::string& method, const std::string& params, bool in_page,
                                   std::chrono::seconds limit) {
  const int id = ++next_id_;
  Send("{\"id\":" + std::to_string(id) + ",\"method\":" + JsonString(method) + ",\"params\":" + params +
       (in_page ? ",\"sessionId\":" + JsonString(session_) : std::string()) + "}");
  const std::string prefix = "{\"id\":" + std::to_string(id) + ",";
  const auto deadline = Clock::now() + limit;
  for (;;) {
    std::string message = Read(deadline);
    if (message.rfind(prefix, 0) != 0) {
      OnEvent(message);
      continue;
    }
    if (message.find("\"error\":{") == prefix.size()) throw std::runtime_error(method + ": " + message);
    return message;
  }
}

void HeadlessChromium::AllowLoopback(const std::string& origin) {
  Call("Browser.grantPermissions", "{\"origin\":" + JsonString(origin) + ",\"permissions\":[\"loopbackNetwork\"]}",
       false);
}

void HeadlessChromium::Navigate(const std::string& url) {
  std::string patterns;
  for (const auto& [page, served] : pages_) {
    if (!patterns.empty()) patterns += ',';
    patterns += "{\"urlPattern\":" + JsonString(page) + "}";
  }
  if (!patterns.empty()) Call("Fetch.enable", "{\"patterns\":[" + patterns + "]}");
  loaded_ = false;
  Call("Page.navigate", "{\"url\":" + JsonString(url) + "}");
  const auto deadline = Clock::now() + kCallLimit;
  while (!loaded_) OnEvent(Read(deadline));
}

std::string HeadlessChromium::Evaluate(const std::string& expression, std::chrono::seconds limit) {
  const std::string reply =
      Call("Runtime.evaluate", "{\"expression\":" + JsonString(expression) + ",\"awaitPromise\":true,\"returnByValue\":true}",
           true, limit);
  if (reply.find("\"exceptionDetails\":") != std::string::npos) throw std::runtime_error("script failed: " + reply);
  return JsonStringMember(reply, "value").value_or("");
}

void HeadlessChromium::Screenshot(const std::string& file) {
  const std::string size = Evaluate(
      "Promise.resolve(document.documentElement.scrollWidth + ' ' + document.documentElement.scrollHeight)");
  const size_t space = size.find(' ');
  if (space == std::string::npos) throw std::runtime_error("no page size: " + size);
  const std::string clip = "{\"x\":0,\"y\":0,\"width\":" + size.substr(0, space) +
                           ",\"height\":" + size.substr(space + 1) + ",\"scale\":1}";
  const std::string reply =
      Call("Page.captureScreenshot", "{\"format\":\"png\",\"captureBeyondViewport\":true,\"clip\":" + clip + "}");
  const std::optional<std::string> png = JsonStringMember(reply, "data");
  if (!png) throw std::runtime_error("no screenshot: " + reply.substr(0, 200));
  WriteStringToFile(Base64Decode(*png), file);
}

std::string HeadlessChromium::Log() const {
  try {
    return ReadFileToString(profile_ / "chromium.log");
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace zuntar::test
