#include "http/http_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/http_client.h"

namespace zuntar {
namespace {

using test::Request;

// Echoes what it was given and counts the worker states alive.
class EchoHandler : public HttpHandler {
 public:
  std::atomic<int> states{0};
  std::atomic<int> handled{0};
  std::atomic<int> hold_ms{0};

  class State : public WorkerState {
   public:
    explicit State(std::atomic<int>& n) : n_(n) { ++n_; }
    ~State() override { --n_; }

   private:
    std::atomic<int>& n_;
  };

  std::unique_ptr<WorkerState> NewWorkerState() override { return std::make_unique<State>(states); }

  void Handle(WorkerState&, HttpRequest& req, HttpResponse& res) override {
    if (hold_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(hold_ms.load()));
    ++handled;
    res.content_type = "text/plain";
    res.SetHeader("X-Method", req.method);
    res.SetHeader("X-Path", req.path);
    res.SetHeader("X-Query", req.query);
    res.SetHeader("X-Peer", req.peer_ip);
    res.SetHeader("X-Origin", req.origin.value_or("<none>"));
    if (req.path == "/reason") {
      res.status = 500;
      res.reason = "bad\r\nInjected: yes";
    }
    res.body = req.body;
  }
};

HttpServerOptions TestOptions() {
  HttpServerOptions o;
  o.port = 0;
  return o;
}

TEST(HttpServer, PassesRawRequestTextsThrough) {
  EchoHandler handler;
  HttpServer server(TestOptions(), handler);
  test::HttpReply r =
      Request(server.port(), "post", "/a%20b/MERVO/x?q=1?2&z", "body\0x", "Origin: http://page\r\n");
  ASSERT_TRUE(r.received);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.headers["x-method"], "post");
  EXPECT_EQ(r.headers["x-path"], "/a%20b/MERVO/x");
  EXPECT_EQ(r.headers["x-query"], "q=1?2&z");
  EXPECT_EQ(r.headers["x-peer"], "127.0.0.1");
  EXPECT_EQ(r.headers["x-origin"], "http://page");
  EXPECT_EQ(r.headers["server"], "MERVO");
  EXPECT_EQ(r.headers["connection"], "close");
  EXPECT_EQ(r.body, "body");
}

TEST(HttpServer, ReasonPhraseCannotForgeHeaders) {
  EchoHandler handler;
  HttpServer server(TestOptions(), handler);
  test::HttpReply r = Request(server.port(), "GET", "/reason");
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.reason, "bad  Injected: yes");
  EXPECT_EQ(r.headers.count("injected"), 0u);
}

TEST(HttpServer, RefusesLargeBodiesBeforeReadingThem) {
  EchoHandler handler;
  HttpServer server(TestOptions(), handler);
  test::HttpReply r = test::Exchange(
      server.port(), "POST /x HTTP/1.1\r\nHost: h\r\nContent-Length: 268435456\r\n\r\nsome of it");
  EXPECT_EQ(r.status, 406);
  const test::HttpReply just_below = test::Exchange(
      server.port(), "POST /x HTTP/1.1\r\nHost: h\r\nContent-Length: 268435455\r\n\r\nshort", "", 500);
  EXPECT_FALSE(just_below.received);  // waits for its body, then the client gives up

  HttpServerOptions small = TestOptions();
  small.body_limit = 10;
  HttpServer limited(small, handler);
  const test::HttpReply chunked = test::Exchange(
      limited.port(), "POST /x HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n6\r\n123456\r\n6\r\n789012\r\n0\r\n\r\n");
  EXPECT_EQ(chunked.status, 406);
  EXPECT_EQ(handler.handled, 0);
}

TEST(HttpServer, MalformedAndOversizedRequestsAreDropped) {
  EchoHandler handler;
  HttpServer server(TestOptions(), handler);
  EXPECT_FALSE(test::Exchange(server.port(), "GARBAGE\r\n\r\n").received);
  EXPECT_FALSE(test::Exchange(server.port(), "GET / HTTP/1.1\r\nX: " + std::string(64 * 1024, 'a') + "\r\n\r\n").received);
  EXPECT_EQ(Request(server.port(), "GET", "/still-alive").status, 200);
}

TEST(HttpServer, RefusesConnectionsBeyondTheLimitAndRecovers) {
  EchoHandler handler;
  HttpServerOptions o = TestOptions();
  o.max_connections = 2;
  HttpServer server(o, handler);
  // Two clients that never finish their request hold both connections.
  const int a = test::Connect(server.port()), b = test::Connect(server.port());
  while (server.ActiveConnectionCount() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_FALSE(Request(server.port(), "GET", "/third").received);
  ::close(a);
  ::close(b);
  while (server.ActiveConnectionCount() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(Request(server.port(), "GET", "/again").status, 200);
}

TEST(HttpServer, PoolKeepsAtMostPoolSizeIdleWorkers) {
  EchoHandler handler;
  handler.hold_ms = 100;
  HttpServerOptions o = TestOptions();
  o.pool_size = 2;
  HttpServer server(o, handler);
  std::vector<std::thread> clients;
  for (int i = 0; i < 6; ++i) clients.emplace_back([&] { EXPECT_EQ(Request(server.port(), "GET", "/").status, 200); });
  for (std::thread& t : clients) t.join();
  while (server.WorkerCount() > 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(server.IdleWorkerCount(), 2u);
  EXPECT_EQ(handler.states, 2);  // states of ended workers were destroyed
}

TEST(HttpServer, WithoutPoolEveryWorkerEnds) {
  EchoHandler handler;
  HttpServerOptions o = TestOptions();
  o.pool_size = 0;
  HttpServer server(o, handler);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Request(server.port(), "GET", "/").status, 200);
  while (handler.states > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(server.WorkerCount(), 0u);
}

TEST(HttpServer, DeactivateReleasesThePort) {
  EchoHandler handler;
  HttpServer server(TestOptions(), handler);
  const int port = server.port();
  server.Deactivate();
  EXPECT_EQ(test::Connect(port), -1);
  server.Activate();
  EXPECT_EQ(Request(port, "GET", "/").status, 200);
}

TEST(HttpServer, BindingAPortInUseFails) {
  EchoHandler handler;
  HttpServer first(TestOptions(), handler);
  HttpServerOptions o = TestOptions();
  o.port = first.port();
  EXPECT_THROW(HttpServer second(o, handler), std::system_error);
}

TEST(HttpServer, DestructionEndsBusyAndSlowConnections) {
  EchoHandler handler;
  int slow = -1;
  {
    HttpServer server(TestOptions(), handler);
    slow = test::Connect(server.port());
    test::SendAll(slow, "POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\nhalf");
    while (server.ActiveConnectionCount() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(handler.states, 0);
  ::close(slow);
}

TEST(HttpServer, ReadTimeoutDropsSilentClients) {
  EchoHandler handler;
  HttpServerOptions o = TestOptions();
  o.read_timeout_ms = 100;
  HttpServer server(o, handler);
  const int fd = test::Connect(server.port());
  test::SendAll(fd, "GET / HTTP/1.1\r\n");
  EXPECT_EQ(test::ReadAll(fd, 5000), "");  // closed by the server, well before 5 s
  ::close(fd);
  EXPECT_EQ(handler.handled, 0);
}

TEST(HttpServer, ManyConcurrentClients) {
  EchoHandler handler;
  HttpServerOptions o = TestOptions();
  o.max_connections = 0;  // no limit
  o.listen_queue = 256;
  HttpServer server(o, handler);
  std::atomic<int> ok{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 200; ++i)
    clients.emplace_back([&, i] {
      test::HttpReply r = Request(server.port(), "POST", "/c", "n" + std::to_string(i));
      if (r.status == 200 && r.body == "n" + std::to_string(i)) ++ok;
    });
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(ok, 200);
}

}  // namespace
}  // namespace zuntar
