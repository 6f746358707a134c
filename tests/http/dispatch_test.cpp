#include <gtest/gtest.h>

#include "core/process_values.h"
#include "core/settings.h"
#include "http/http_access.h"
#include "http/info_commands.h"
#include "platform/file_io.h"
#include "support/http_client.h"
#include "support/temp_dir.h"
#include "tasks/ib_error.h"

namespace zuntar {
namespace {

using test::HttpReply;
using test::Request;

const std::string kCrLf = "\r\n";

class Dispatch : public ::testing::Test {
 protected:
  void SetUp() override { Start(3); }

  void Start(int log_level, const std::string& version = "1.2.3.4") {
    access_.reset();
    StartupValues v = BasicStartupValues(dir_.path());
    v.IsCP1251 = false;  // no database: these requests never reach one
    v.PluginVersion = version;
    SetStartupValues(v);
    SetCSPStatus("");
    Settings s = DefaultSettings(dir_.path());
    s.HTTPPORT = 0;
    s.LOG_LEVEL = log_level;
    plugin_.settings.Set(s);
    CommandRegistry commands;
    RegisterInformationCommands(commands);
    commands.Register("GETSIGN", CommandMethod::kPost, [](CommandContext& c) {
      c.response.body = "sign sync=" + std::to_string(c.sync) + " type=" + std::to_string(c.task_type) +
                        " query=" + c.request.query + " body=" + c.request.body;
      return 200;
    });
    commands.Register("DECRYPT", CommandMethod::kPost, [](CommandContext&) -> int {
      throw EIBClientError("value too long");
    });
    commands.Register("GETRESULT", CommandMethod::kGet, [](CommandContext& c) {
      c.buffer = "result " + c.request.query;
      return 201;
    });
    commands.Register("ENUMCERTS", CommandMethod::kGet, [](CommandContext&) -> int {
      throw std::runtime_error("store unreadable");
    });
    access_ = std::make_unique<THttpAccess>(plugin_, std::move(commands));
  }

  int port() const { return access_->port(); }
  std::string Log() const { return FileExists(LogFileName()) ? ReadFileToString(LogFileName()) : ""; }

  test::TempDir dir_;
  PluginContext plugin_;
  std::unique_ptr<THttpAccess> access_;
};

TEST_F(Dispatch, PingAndVersionEnvelopes) {
  HttpReply r = Request(port(), "GET", "/mervo/ping");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "{\r\n\"Status\": true,\r\n\"Data\": \"1.2.3.4\",\r\n\"Errors\": []\r\n}");
  EXPECT_EQ(r.headers["mervo"], "1.2.3.4");
  EXPECT_EQ(r.headers["content-type"], "application/json;charset=utf-8");
  EXPECT_EQ(r.headers["access-control-allow-origin"], "*");
  EXPECT_EQ(r.headers["access-control-allow-headers"], "Origin, X-Requested-With, Content-Type, Accept");
  EXPECT_EQ(r.headers["access-control-allow-methods"], "POST, GET, OPTIONS");
  EXPECT_EQ(r.headers["access-control-max-age"], "86400");
  EXPECT_EQ(r.headers["vary"], "Accept-Encoding, Origin");

  EXPECT_EQ(Request(port(), "GET", "/app/MERVO/GETVER").body, "{\r\n\"Status\": true,\r\n\"Data\": \"1.2.3.4\",\r\n\"Errors\": []\r\n}");
  EXPECT_EQ(Request(port(), "GET", "/MERVO/TRYUSEPLUGIN").body, "{\r\n\"Status\": true,\r\n\"Data\": null,\r\n\"Errors\": []\r\n}");

  SetCSPStatus("CSP_NOT_EXIST");
  EXPECT_EQ(Request(port(), "GET", "/MERVO/PING").body,
            "{\r\n\"Status\": false,\r\n\"Data\": \"1.2.3.4\",\r\n\"Errors\": [\"CSP_NOT_EXIST\"]\r\n}");
  EXPECT_EQ(Request(port(), "GET", "/MERVO/TRYUSEPLUGIN").body,
            "{\r\n\"Status\": false,\r\n\"Data\": null,\r\n\"Errors\": [\"CSP_NOT_EXIST\"]\r\n}");
}

TEST_F(Dispatch, EmptyVersionIsNull) {
  Start(3, "");
  EXPECT_EQ(Request(port(), "GET", "/MERVO/PING").body, "{\r\n\"Status\": true,\r\n\"Data\": null,\r\n\"Errors\": []\r\n}");
}

TEST_F(Dispatch, MethodIsCaseSensitiveAndOthersAreUnknown) {
  for (const char* method : {"post", "PUT", "DELETE"}) {
    HttpReply r = Request(port(), method, "/MERVO/GETSIGN", "x");
    EXPECT_EQ(r.status, 200) << method;
    EXPECT_EQ(r.body, "Unknown command") << method;
    EXPECT_EQ(r.headers["access-control-allow-origin"], "*") << method;
  }
  EXPECT_EQ(Request(port(), "GET", "/other/PING").body, "Unknown command");
}

TEST_F(Dispatch, PostCommandForms) {
  EXPECT_EQ(Request(port(), "POST", "/MERVO/GETSIGN?CertSN=01", "abc").body, "sign sync=0 type=0 query=CertSN=01 body=abc");
  EXPECT_EQ(Request(port(), "POST", "/MERVO/getsign", "abc").body, "sign sync=0 type=0 query= body=abc");
  for (const char* path : {"/MERVO/GETSIGN_SYNC", "/MERVO/GETSIGN_SYNC&x=1", "/MERVO/_SYNCGETSIGN"})
    EXPECT_EQ(Request(port(), "POST", path, "abc").body, "sign sync=1 type=0 query= body=abc") << path;
  HttpReply unknown = Request(port(), "POST", "/MERVO/GETSIGNX", "abc");
  EXPECT_EQ(unknown.status, 200);
  EXPECT_EQ(unknown.body, "#Error#ReglamentException Unknown command \"GETSIGNX\"");
  // Commands whose handlers are not installed answer as unknown.
  EXPECT_EQ(Request(port(), "POST", "/MERVO/SIGN_HASH", "abc").body, "#Error#ReglamentException Unknown command \"SIGN_HASH\"");
  EXPECT_EQ(Request(port(), "GET", "/MERVO/NOPE").body, "#Error#ReglamentException Unknown command \"NOPE\"");
}

TEST_F(Dispatch, LocalPeerRules) {
  const std::string remote = "127.0.0.2";
  HttpReply r = Request(port(), "GET", "/MERVO/GETRESULT?Id=1", "", "", remote);
  EXPECT_EQ(r.status, 501);
  EXPECT_EQ(r.body, "");
  EXPECT_EQ(Request(port(), "GET", "/MERVO/GETVER", "", "", remote).status, 501);
  EXPECT_EQ(Request(port(), "GET", "/MERVO/PING", "", "", remote).status, 200);
  EXPECT_EQ(Request(port(), "GET", "/MERVO/TRYUSEPLUGIN", "", "", remote).status, 200);
  EXPECT_EQ(Request(port(), "POST", "/MERVO/GETSIGN", "a", "", remote).body, "sign sync=0 type=0 query= body=a");
  HttpReply sync = Request(port(), "POST", "/MERVO/GETSIGN_SYNC", "a", "", remote);
  EXPECT_EQ(sync.status, 501);
  EXPECT_EQ(sync.body, "");
  HttpReply local = Request(port(), "GET", "/MERVO/GETRESULTX?Id=1");
  EXPECT_EQ(local.status, 201);
  EXPECT_EQ(local.body, "result Id=1");  // prefix match, reply buffer as body
}

TEST_F(Dispatch, OptionsEchoesOrigin) {
  HttpReply with = Request(port(), "OPTIONS", "/MERVO/GETSIGN", "", "Origin: https://edo.example\r\n");
  EXPECT_EQ(with.status, 200);
  EXPECT_EQ(with.headers["access-control-allow-origin"], "https://edo.example");
  EXPECT_EQ(with.body, "");
  HttpReply without = Request(port(), "OPTIONS", "/MERVO/GETSIGN");
  EXPECT_EQ(without.headers.count("access-control-allow-origin"), 1u);
  EXPECT_EQ(without.headers["access-control-allow-origin"], "");
}

TEST_F(Dispatch, CertificateCommandFailuresBecome500WithReason) {
  HttpReply r = Request(port(), "GET", "/MERVO/ENUMCERTS");
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.reason, "store unreadable");
  EXPECT_EQ(r.body, "");
}

TEST_F(Dispatch, PostFailureIsReportedInTheBody) {
  HttpReply r = Request(port(), "POST", "/MERVO/DECRYPT", "x");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "#Error#EIBClientError value too long");
  const std::string log = Log();
  EXPECT_NE(log.find(" EIBClientError value too long\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("EVENT killing DM after error, thread="), std::string::npos) << log;
}

TEST_F(Dispatch, RequestLinesFollowTheLogLevel) {
  Request(port(), "POST", "/MERVO/GETSIGN?a=1", "secret-body");
  Request(port(), "GET", "/MERVO/PING");
  std::string log = Log();
  EXPECT_NE(log.find("DEBUG <<Request: \"/MERVO/GETSIGN/a=1\" from IP=127.0.0.1\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("DEBUG secret-body\r\n"), std::string::npos);
  EXPECT_NE(log.find("DEBUG >>Request: \"/MERVO/GETSIGN/a=1\", HTTP RESULT=200, handle time 00 "), std::string::npos);
  EXPECT_EQ(log.find("PING"), std::string::npos);  // pings are never logged

  DeletePath(LogFileName(), 0);
  Start(2);
  Request(port(), "POST", "/MERVO/GETSIGN", "secret-body");
  log = Log();
  EXPECT_NE(log.find("<<Request"), std::string::npos);
  EXPECT_EQ(log.find("secret-body"), std::string::npos);

  DeletePath(LogFileName(), 0);
  Start(1);
  Request(port(), "POST", "/MERVO/GETSIGN", "secret-body");
  Request(port(), "PUT", "/MERVO/GETSIGN", "secret-body");
  log = Log();
  EXPECT_EQ(log.find("<<Request"), std::string::npos);
  EXPECT_NE(log.find("DEBUG Request: \"/MERVO/GETSIGN/\" from IP=127.0.0.1"), std::string::npos) << log;

  DeletePath(LogFileName(), 0);
  Start(4);
  Request(port(), "GET", "/MERVO/PING");
  EXPECT_NE(Log().find("DEBUG Connecting to 127.0.0.1 from 127.0.0.1"), std::string::npos);
}

TEST_F(Dispatch, PauseReleasesThePort) {
  const int p = port();
  access_->Pause();
  EXPECT_EQ(test::Connect(p), -1);
  access_->Continue();
  EXPECT_EQ(Request(p, "GET", "/MERVO/PING").status, 200);
}

}  // namespace
}  // namespace zuntar
