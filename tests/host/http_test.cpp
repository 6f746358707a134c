// The HTTP front end of the real executable: a private copy on a free port,
// with its own platform tree and task database.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

#include "core/settings.h"
#include "host/headless_control.h"
#include "platform/file_io.h"
#include "plugin_sandbox.h"
#include "support/http_client.h"
#include "tasks/firebird_root.h"
#include "tasks/task_dm.h"

namespace zuntar {
namespace {

using test::HttpReply;
using test::PluginProcess;
using test::PluginSandbox;
using test::FreePort;
using test::Request;

const std::string kPingOk = std::string("{\r\n\"Status\": true,\r\n\"Data\": ") +
                            (std::string(ZUNTAR_PLUGIN_VERSION).empty() ? "null" : "\"" ZUNTAR_PLUGIN_VERSION "\"") +
                            ",\r\n\"Errors\": []\r\n}";

class HttpPlugin : public ::testing::Test {
 protected:
  // Creates the database, writes the configuration and starts the plugin.
  // `extra_config` comes first, so it may set another LOG_LEVEL.
  void Launch(const std::string& extra_config = "") {
    port_ = FreePort();
    box_.RegisterProvider();
    std::string err;
    ASSERT_EQ(box_.Run({"-CREATEDB"}, nullptr, &err), 0) << err;
    WriteStringToFile("HTTPPORT=" + std::to_string(port_) + "\r\n" + extra_config + "LOG_LEVEL=3\r\n", box_.config_file());
    plugin_.emplace(box_.Start({}));
    for (int i = 0; i < 300; ++i) {
      if (test::Connect(port_) >= 0 || !plugin_->Running()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(plugin_->Running()) << box_.Log();
  }

  // Attachments of other processes to the plugin's database, counted from
  // the monitoring table through a connection of this test.
  int PluginAttachments() {
    ::setenv("ZUNTAR_PLATFORM_ROOT", box_.root().c_str(), 1);
    PrepareFirebirdClient();
    auto dm = CreateTaskDM(DefaultSettings(box_.exe_dir()));
    auto q = dm->NewQuery(false);
    q->SetSql("select count(*) from MON$ATTACHMENTS where MON$ATTACHMENT_ID <> CURRENT_CONNECTION");
    q->ExecQuery();
    EXPECT_TRUE(q->Next());
    const int n = static_cast<int>(q->Field(0).AsInteger());
    q.reset();
    return n;
  }

  void TearDown() override {
    if (plugin_) {
      EXPECT_EQ(plugin_->Terminate(), 0) << box_.Log();
    }
    if (expect_clean_log_) {
      EXPECT_EQ(box_.Log().find("Unhandled"), std::string::npos) << box_.Log();
    }
  }

  PluginSandbox box_;
  std::optional<PluginProcess> plugin_;
  int port_ = 0;
  bool expect_clean_log_ = true;
};

TEST_F(HttpPlugin, AnswersPingWithVersionAndLocalRules) {
  Launch();
  HttpReply ping = Request(port_, "GET", "/MERVO/PING");
  EXPECT_EQ(ping.status, 200);
  EXPECT_EQ(ping.body, kPingOk);
  EXPECT_EQ(ping.headers["server"], "MERVO");
  EXPECT_EQ(Request(port_, "GET", "/MERVO/PING", "", "", "127.0.0.2").body, kPingOk);
  EXPECT_EQ(Request(port_, "GET", "/MERVO/GETVER", "", "", "127.0.0.2").status, 501);
  EXPECT_EQ(Request(port_, "GET", "/MERVO/TRYUSEPLUGIN").body, "{\r\n\"Status\": true,\r\n\"Data\": null,\r\n\"Errors\": []\r\n}");
  EXPECT_EQ(Request(port_, "GET", "/mervo/ping").body, kPingOk);
  EXPECT_EQ(Request(port_, "GET", "/app/MERVO/PING").body, kPingOk);
  EXPECT_EQ(Request(port_, "PUT", "/MERVO/PING").body, "Unknown command");
  EXPECT_EQ(Request(port_, "post", "/MERVO/GETSIGN", "x").body, "Unknown command");
  EXPECT_EQ(Request(port_, "POST", "/MERVO/GETSIGNX", "x").body, "#Error#ReglamentException Unknown command \"GETSIGNX\"");
  HttpReply options = Request(port_, "OPTIONS", "/MERVO/GETSIGN", "", "Origin: http://edo\r\n");
  EXPECT_EQ(options.headers["access-control-allow-origin"], "http://edo");
  EXPECT_EQ(options.body, "");
  EXPECT_EQ(test::Exchange(port_, "POST /MERVO/GETSIGN HTTP/1.1\r\nContent-Length: 268435456\r\n\r\n").status, 406);
  // LOG_LEVEL 3: request lines and the bodies of POST commands, never pings;
  // an unknown command's body is never read.
  Request(port_, "POST", "/MERVO/NOSUCH?a=b", "the-body");
  EXPECT_TRUE(box_.WaitForLog(">>Request: \"/MERVO/NOSUCH/a=b\", HTTP RESULT=200, handle time ")) << box_.Log();
  EXPECT_EQ(box_.Log().find("DEBUG the-body\r\n"), std::string::npos);
  Request(port_, "POST", "/MERVO/GETSIGN?CertSN=00", "the-body");
  EXPECT_TRUE(box_.WaitForLog("DEBUG the-body\r\n")) << box_.Log();
  EXPECT_EQ(box_.Log().find("<<Request: \"/MERVO/PING"), std::string::npos);
  EXPECT_EQ(box_.Log().find(">>Request: \"/MERVO/PING"), std::string::npos);
}

TEST_F(HttpPlugin, SurvivesLoadAndAbuseWithoutLeakingWorkersOrAttachments) {
  Launch("MAXCONNECTIONS=300\r\nLISTENQUEUE=256\r\n");
  std::atomic<int> ok{0};
  std::mutex mutex;
  std::string first_failure;
  std::vector<std::thread> clients;
  for (int i = 0; i < 200; ++i)
    clients.emplace_back([&, i] {
      // Every POST worker attaches the database first; on a loaded machine a
      // hundred attachments at once take a while, so the clients wait long.
      const std::string bytes = i % 2 ? "GET /MERVO/PING HTTP/1.1\r\n\r\n"
                                      : "POST /MERVO/NOSUCH HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody";
      const HttpReply r = test::Exchange(port_, bytes, "", 120000);
      if (r.status == 200 && (r.body == kPingOk || r.body == "#Error#ReglamentException Unknown command \"NOSUCH\"")) {
        ++ok;
      } else {
        std::lock_guard lock(mutex);
        if (first_failure.empty()) first_failure = "request " + std::to_string(i) + ": [" + r.raw + "]";
      }
    });
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(ok, 200) << first_failure << "\n" << box_.Log();

  EXPECT_FALSE(test::Exchange(port_, "GET\r\n\r\n").received);  // malformed request line
  EXPECT_FALSE(test::Exchange(port_, "GET /MERVO/PING HTTP/1.1\r\nX: " + std::string(100000, 'a') + "\r\n\r\n").received);
  {
    const int gone = test::Connect(port_);  // disconnects in the middle of its body
    test::SendAll(gone, "POST /MERVO/GETSIGN HTTP/1.1\r\nContent-Length: 1000\r\n\r\npart");
    ::close(gone);
  }
  {
    const int slow = test::Connect(port_);  // takes its time, then finishes
    test::SendAll(slow, "GET /MERVO/PI");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    test::SendAll(slow, "NG HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_EQ(test::ParseReply(test::ReadAll(slow)).body, kPingOk);
    ::close(slow);
  }
  EXPECT_EQ(Request(port_, "GET", "/MERVO/PING").body, kPingOk);
  EXPECT_TRUE(plugin_->Running());

  // Ended workers released their database connections; the pooled one may
  // keep its own, and the processing thread has one.
  int attachments = PluginAttachments();
  for (int i = 0; i < 100 && attachments > 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    attachments = PluginAttachments();
  }
  EXPECT_LE(attachments, 2);
}

TEST_F(HttpPlugin, ConnectionLimitIsReachedAndReleased) {
  Launch("MAXCONNECTIONS=3\r\n");
  std::vector<int> held;
  for (int i = 0; i < 3; ++i) held.push_back(test::Connect(port_));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(Request(port_, "GET", "/MERVO/PING").received);
  for (int fd : held) ::close(fd);
  bool answered = false;
  for (int i = 0; i < 100 && !answered; ++i) {
    answered = Request(port_, "GET", "/MERVO/PING").body == kPingOk;
    if (!answered) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(answered);
}

// Sends half a POST body, stops sending and waits until the plugin, having
// failed to read the rest, closes the connection.
void LeaveInTheMiddleOfABody(int port) {
  const int fd = test::Connect(port);
  test::SendAll(fd, "POST /MERVO/GETSIGN HTTP/1.1\r\nContent-Length: 1000\r\n\r\npart");
  ::shutdown(fd, SHUT_WR);
  EXPECT_EQ(test::ReadAll(fd), "");
  ::close(fd);
}

// Above level 3 a connection's arrival and its read and write failures are
// debug lines; at level 3 the failures are not logged.
TEST_F(HttpPlugin, ConnectionErrorsAreDebugLinesAboveLevelThree) {
  Launch("LOG_LEVEL=4\r\n");
  LeaveInTheMiddleOfABody(port_);
  EXPECT_NE(box_.Log().find("DEBUG Read error from 127.0.0.1: partial message\r\n"), std::string::npos) << box_.Log();
  EXPECT_NE(box_.Log().find("DEBUG Connecting to 127.0.0.1 from 127.0.0.1\r\n"), std::string::npos);
}

TEST_F(HttpPlugin, ConnectionErrorsAreNotLoggedAtLevelThree) {
  Launch();
  LeaveInTheMiddleOfABody(port_);
  EXPECT_EQ(box_.Log().find("Read error"), std::string::npos) << box_.Log();
}

std::string HostRefusal(const std::string& host) {
  return "{\r\n\"Status\": false,\r\n\"Data\": null,\r\n\"Errors\": [\"Имя " + host +
         " не принадлежит этому компьютеру\"]\r\n}";
}

// A page of another site whose own name was made to point at this machine
// (DNS rebinding) sends that name in Host.
TEST_F(HttpPlugin, AHostHeaderThatDoesNotNameThisMachineIsRefused) {
  Launch();
  const auto get = [&](const std::string& target, const std::string& host_lines, const std::string& peer = "") {
    return test::Exchange(port_, "GET " + target + " HTTP/1.1\r\n" + host_lines + "\r\n", peer);
  };
  const HttpReply rebound = get("/MERVO/GETLOGINFO", "Host: rebind.attacker.example\r\n");
  EXPECT_EQ(rebound.status, 403);
  EXPECT_EQ(rebound.body, HostRefusal("rebind.attacker.example"));
  EXPECT_EQ(rebound.headers.at("access-control-allow-methods"), "POST, GET, OPTIONS");
  EXPECT_TRUE(box_.WaitForLog(test::Cp1251("EVENT Имя rebind.attacker.example не принадлежит этому компьютеру "
                                           "(Host): \"/MERVO/GETLOGINFO/\" from IP=127.0.0.1")))
      << box_.Log();
  EXPECT_EQ(get("/MERVO/PING", "Host: 127.0.0.1.evil.example\r\n").status, 403);
  EXPECT_EQ(get("/MERVO/PING", "Host: localhost:abc\r\n").status, 403);
  EXPECT_EQ(get("/MERVO/PING", "Host: localhost\r\nHost: rebind.attacker.example\r\n").status, 403);

  const std::string port = std::to_string(port_);
  EXPECT_EQ(get("/MERVO/PING", "Host: localhost:" + port + "\r\n").body, kPingOk);
  EXPECT_EQ(get("/MERVO/GETLOGINFO", "Host: [::1]:" + port + "\r\n").status, 200);
  EXPECT_EQ(test::Exchange(port_, "GET /MERVO/PING HTTP/1.0\r\n\r\n").body, kPingOk);
  // The machine's own name serves programs on the network, not pages here.
  char name[256] = {};
  ASSERT_EQ(::gethostname(name, sizeof name - 1), 0);
  EXPECT_EQ(get("/MERVO/PING", "Host: " + std::string(name) + ":" + port + "\r\n", "127.0.0.2").body, kPingOk);
  if (std::string(name) != "localhost") {
    EXPECT_EQ(get("/MERVO/PING", "Host: " + std::string(name) + "\r\n").status, 403);
  }
}

// Clients that never finish their request line and header fields, silent
// or trickling a byte now and then, hold the connections only until the
// header deadline, although READTIMEOUT is 0. The listen queue has room for
// all of them: 40 connections at once overflow the default 10 places, and
// on a busy machine a silent client whose last handshake packet the kernel
// drops then (answered with a SYN cookie, it is never resent) can stay
// connected on its side only, never seen by the plugin.
TEST_F(HttpPlugin, UnfinishedRequestsLoseTheirConnectionsAfterThirtySeconds) {
  Launch("LISTENQUEUE=64\r\n");  // MAXCONNECTIONS=40
  std::vector<int> held;
  for (int i = 0; i < 40; ++i) {
    held.push_back(test::Connect(port_));
    ASSERT_GE(held.back(), 0);
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_FALSE(Request(port_, "GET", "/MERVO/PING").received);  // every connection is taken
  for (size_t i = 1; i < held.size(); i += 2) test::SendAll(held[i], "GET /MERVO/PING HTTP/1.1\r\nX-Slow: ");
  size_t open = held.size();
  const auto start = std::chrono::steady_clock::now();
  while (open > 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(45)) {
    for (size_t i = 0; i < held.size(); ++i) {
      if (held[i] < 0) continue;
      if (i % 2 == 1) test::SendAll(held[i], "a");
      pollfd p{held[i], POLLIN, 0};
      if (::poll(&p, 1, 0) > 0) {  // the plugin has closed it
        EXPECT_EQ(test::ReadAll(held[i], 1000), "");
        ::close(std::exchange(held[i], -1));
        --open;
      }
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  EXPECT_EQ(open, 0u);
  EXPECT_EQ(Request(port_, "GET", "/MERVO/PING").body, kPingOk);
  for (int fd : held)
    if (fd >= 0) ::close(fd);
}

// Sends the head of a 200 MiB POST, then its body as fast as the plugin
// takes it, until it is all sent or the plugin stops taking it; the reply.
HttpReply PushLargePost(int port, const std::string& target, const std::string& headers, const std::string& peer = "") {
  constexpr size_t kSize = size_t{200} << 20;
  const int fd = test::Connect(port, peer);
  test::SendAll(fd, "POST " + target + " HTTP/1.1\r\n" + headers + "Content-Length: " + std::to_string(kSize) +
                        "\r\n\r\n");
  const std::string chunk(size_t{1} << 20, 'A');
  for (size_t sent = 0; sent < kSize && test::SendAll(fd, chunk); sent += chunk.size()) {
  }
  HttpReply reply = test::ParseReply(test::ReadAll(fd));
  ::close(fd);
  return reply;
}

long PeakMemoryKb(pid_t pid) {
  const std::string status = ReadFileToString("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("VmHWM:");
  return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
}

// A refused request is answered from its head alone: its body never comes
// into the plugin's memory.
TEST_F(HttpPlugin, RefusedLargePostsLeaveThePeakMemoryWhereItWas) {
  Launch();
  EXPECT_EQ(Request(port_, "POST", "/MERVO/GETSIGN?CertSN=00", "QUFB").status, 200);  // a worker with its database
  const long before = PeakMemoryKb(plugin_->pid());
  const HttpReply rebound = PushLargePost(port_, "/MERVO/GETSIGN", "Host: rebind.attacker.example\r\n");
  EXPECT_EQ(rebound.status, 403);
  EXPECT_EQ(rebound.body, HostRefusal("rebind.attacker.example"));
  EXPECT_EQ(PushLargePost(port_, "/MERVO/GETSIGN", "Host: localhost\r\nOrigin: https://evil.example\r\n").status, 403);
  EXPECT_EQ(PushLargePost(port_, "/MERVO/GETSIGN_SYNC", "Host: localhost\r\n", "127.0.0.2").status, 501);
  EXPECT_LT(PeakMemoryKb(plugin_->pid()) - before, 32 * 1024);
  EXPECT_EQ(box_.Log().find("AAAAAAAA"), std::string::npos);  // no body was logged
  EXPECT_EQ(Request(port_, "GET", "/MERVO/PING").body, kPingOk);
}

// Connects to `address` (IPv4 or IPv6); -1 when refused.
int ConnectTo(const std::string& address, int port) {
  sockaddr_storage addr{};
  socklen_t size = 0;
  auto& v4 = reinterpret_cast<sockaddr_in&>(addr);
  auto& v6 = reinterpret_cast<sockaddr_in6&>(addr);
  if (inet_pton(AF_INET, address.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<uint16_t>(port));
    size = sizeof v4;
  } else if (inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<uint16_t>(port));
    size = sizeof v6;
  }
  const int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), size) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

TEST_F(HttpPlugin, ListensOnlyOnTheListenAddress) {
  Launch("LISTENADDRESS=127.0.0.1\r\n");
  EXPECT_EQ(Request(port_, "GET", "/MERVO/PING").body, kPingOk);
  EXPECT_LT(ConnectTo("127.0.0.2", port_), 0);  // another address of this machine
  EXPECT_LT(ConnectTo("::1", port_), 0);
}

TEST_F(HttpPlugin, PortInUseIsLoggedAndThePluginKeepsRunning) {
  expect_clean_log_ = false;  // the failed Start is reported as such
  const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::listen(holder, 1);
  socklen_t size = sizeof addr;
  ::getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &size);
  std::string err;
  ASSERT_EQ(box_.Run({"-CREATEDB"}, nullptr, &err), 0) << err;
  WriteStringToFile("HTTPPORT=" + std::to_string(ntohs(addr.sin_port)) + "\r\n", box_.config_file());
  PluginProcess p = box_.Start({});
  EXPECT_TRUE(box_.WaitForLog(test::Cp1251("ERROR Ошибка запуска HTTP: "))) << box_.Log();
  EXPECT_TRUE(box_.WaitForLog(test::Cp1251("ERROR " + PortTakenText(true, ntohs(addr.sin_port))))) << box_.Log();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(p.Running());
  EXPECT_EQ(p.Terminate(), 0);
  ::close(holder);
}

}  // namespace
}  // namespace zuntar
