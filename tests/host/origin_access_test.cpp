// Which web pages may use the user's keys, on the real executable over
// HTTP: the origin list for every kind of command, the default that refuses
// every unlisted site where nobody can be asked, what Start logs about it,
// the browsers' preflight, and the person's decisions after a restart.
#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "core/base64.h"
#include "core/settings.h"
#include "crypto/cert_identity.h"
#include "http/origin_guard.h"
#include "platform/file_io.h"
#include "platform/origin_consent_file.h"
#include "platform/user_account.h"
#include "plugin_sandbox.h"
#include "support/http_client.h"
#include "support/scripted_prompt.h"

namespace zuntar {
namespace {

using namespace std::chrono_literals;
using test::Cp1251;
using test::HttpReply;
using test::PluginProcess;
using test::PluginSandbox;

const std::string kEdo = "https://edo.example.ru";
const std::string kEvil = "https://evil.example";
const std::string kAllowList = "ALLOWEDORIGINS=https://EDO.example.ru/; http://localhost:8080\r\n";

std::string Refusal(const std::string& origin) {
  return "{\r\n\"Status\": false,\r\n\"Data\": null,\r\n\"Errors\": [\"Сайт " + origin + " не допущен к ключам\"]\r\n}";
}

std::string OriginHeader(const std::string& origin) { return origin.empty() ? "" : "Origin: " + origin + "\r\n"; }

class OriginAccess : public ::testing::Test {
 protected:
  ~OriginAccess() override { Stop(); }

  void MakePki() {
    box_.RegisterProvider();
    std::string out;
    ASSERT_EQ(box_.CertTool("make-test-pki --out " + box_.root() + "pki", &out), 0) << out;
    ivanov_ = ReadFileToString(box_.root() + "pki/ivanov.cer");
    serial_ = CertSerialHex(DecodeCertificate(ivanov_));
  }

  // Starts the plugin (in service mode when the unit names this user) and
  // waits until it listens.
  void Launch(const std::string& extra_config, bool service_mode = false) {
    if (port_ == 0) {
      port_ = test::FreePort();
      std::string err;
      ASSERT_EQ(box_.Run({"-CREATEDB"}, nullptr, &err), 0) << err;
    }
    WriteStringToFile("HTTPPORT=" + std::to_string(port_) + "\r\nLOG_LEVEL=2\r\n" + extra_config, box_.config_file());
    WriteStringToFile(service_mode ? "[Service]\nUser=" + ProcessUserName() + "\n" : "[Service]\nUser=nobody-here\n",
                      box_.unit_file());
    plugin_.emplace(box_.Start({}));
    for (int i = 0; i < 500 && plugin_->Running(); ++i) {
      const int fd = test::Connect(port_);
      if (fd >= 0) {
        ::close(fd);
        return;
      }
      std::this_thread::sleep_for(20ms);
    }
    FAIL() << "the plugin does not listen\n" << box_.Log();
  }
  void Stop() {
    if (plugin_) {
      EXPECT_EQ(plugin_->Terminate(), 0) << box_.Log();
      plugin_.reset();
    }
  }

  HttpReply Call(const std::string& method, const std::string& target, const std::string& body,
                 const std::string& origin, const std::string& more_headers = "") {
    return test::Request(port_, method, target, body, OriginHeader(origin) + more_headers);
  }
  std::string ConsentFile() const { return box_.root() + "user/origin_consent"; }

  PluginSandbox box_;
  std::optional<PluginProcess> plugin_;
  int port_ = 0;
  Bytes ivanov_;
  std::string serial_;
};

struct Command {
  const char* method;
  std::string target;
  std::string body;
};

TEST_F(OriginAccess, EveryCommandAnswersAnAllowedPageAsBeforeAndRefusesAnother) {
  MakePki();
  Launch(kAllowList);
  const std::string data = Base64Encode("the document");

  // Queued tasks first: their results are among the commands compared below.
  for (const auto& [origin, id] : {std::pair{std::string(), "plain"}, std::pair{kEdo, "page"}}) {
    const HttpReply queued = Call("POST", "/MERVO/GETSIGN?CertSN=" + serial_ + "&TaskId=" + id, data, origin);
    EXPECT_EQ(queued.status, 200);
    EXPECT_EQ(queued.body, std::string("{\r\n\"Status\": true,\r\n\"Data\": \"") + id + "\",\r\n\"Errors\": []\r\n}");
  }
  for (int i = 0; i < 1000 && Call("GET", "/MERVO/GETRESULT?Id=page", "", "").status == 201; ++i)
    std::this_thread::sleep_for(10ms);

  // Replies that do not change between two calls: byte for byte the same
  // for an allowed page as for a program that sends no Origin.
  const std::vector<Command> stable = {
      {"GET", "/MERVO/GETRESULT?Id=page", ""},
      {"GET", "/MERVO/GETLOGINFO?TaskId=page", ""},
      {"GET", "/MERVO/ENUMCERTS", ""},
      {"GET", "/MERVO/ENUMALLCERTS", ""},
      {"GET", "/MERVO/GETCERTBODY?CertSN=" + serial_, ""},
      {"GET", "/MERVO/CHECKCERTANDCLUE?CertSN=" + serial_, ""},
      {"POST", "/MERVO/CHECKCERTANDCLUE", Base64Encode(ivanov_)},
  };
  for (const Command& c : stable) {
    SCOPED_TRACE(c.target);
    HttpReply plain = Call(c.method, c.target, c.body, "");
    HttpReply page = Call(c.method, c.target, c.body, "https://edo.example.ru:443");
    EXPECT_EQ(plain.status, 200);
    EXPECT_EQ(page.status, plain.status);
    EXPECT_EQ(page.body, plain.body);
    EXPECT_EQ(plain.headers["access-control-allow-origin"], "*");
    EXPECT_EQ(page.headers["access-control-allow-origin"], "https://edo.example.ru:443");
    EXPECT_EQ(page.headers["vary"], "Accept-Encoding, Origin");
  }
  const HttpReply result = Call("GET", "/MERVO/GETRESULT?Id=page", "", kEdo);
  EXPECT_NE(result.body.find("\"Status\": true"), std::string::npos) << result.body;

  // Replies that change between calls: a new signature of the same size,
  // the log grown by a few lines.
  for (const Command& c : {Command{"POST", "/MERVO/GETSIGN_SYNC?CertSN=" + serial_, data},
                           Command{"POST", "/MERVO/SIGN_HASH_SYNC?CertSN=" + serial_, Base64Encode(std::string(32, 'h'))},
                           Command{"GET", "/MERVO/GETLOGFILE", ""}}) {
    SCOPED_TRACE(c.target);
    HttpReply plain = Call(c.method, c.target, c.body, "");
    const HttpReply page = Call(c.method, c.target, c.body, "http://localhost:8080");
    EXPECT_EQ(plain.status, 200);
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.body.rfind("{\r\n\"Status\": true,", 0), 0u) << page.body;
    if (c.method == std::string("POST")) {
      EXPECT_EQ(page.body.size(), plain.body.size());
    }
  }

  // Every command of the keys refuses another site, and the log says so.
  std::vector<Command> guarded = stable;
  guarded.push_back({"POST", "/MERVO/GETSIGN_SYNC?CertSN=" + serial_, data});
  guarded.push_back({"POST", "/MERVO/GETSIGN?CertSN=" + serial_ + "&TaskId=evil", data});
  guarded.push_back({"POST", "/MERVO/DECRYPT", data});
  guarded.push_back({"POST", "/MERVO/SIGN_SEDO_REQUEST?CertSN=" + serial_ + "&fss_nom=1234567890", data});
  guarded.push_back({"GET", "/MERVO/GETLOGFILE", ""});
  for (const Command& c : guarded) {
    SCOPED_TRACE(c.target);
    HttpReply refused = Call(c.method, c.target, c.body, kEvil);
    EXPECT_EQ(refused.status, 403);
    EXPECT_EQ(refused.body, Refusal(kEvil));
    EXPECT_EQ(refused.headers["access-control-allow-origin"], "*");
  }
  EXPECT_EQ(Call("GET", "/MERVO/GETRESULT?Id=evil", "", "").status, 500);  // never queued
  EXPECT_EQ(box_.CountInLog(Cp1251("EVENT Сайт https://evil.example не допущен к ключам (нет рабочего стола "
                                   "пользователя, спросить некого; допускает его ALLOWEDORIGINS=https://evil.example): ")),
            static_cast<int>(guarded.size()))
      << box_.Log();
  // An opaque origin (a sandboxed frame, a file) is no listed site either.
  EXPECT_EQ(Call("GET", "/MERVO/ENUMCERTS", "", "null").status, 403);

  // PING, TRYUSEPLUGIN and GETVER answer every page alike.
  for (const char* open : {"/MERVO/PING", "/MERVO/TRYUSEPLUGIN", "/MERVO/GETVER"}) {
    SCOPED_TRACE(open);
    const HttpReply plain = Call("GET", open, "", "");
    EXPECT_EQ(plain.status, 200);
    EXPECT_EQ(Call("GET", open, "", kEvil).body, plain.body);
    EXPECT_EQ(Call("GET", open, "", kEdo).body, plain.body);
  }
}

TEST_F(OriginAccess, PreflightAnswersThePrivateNetworkQuestionForPagesThatMayUseTheCommand) {
  Launch(kAllowList);
  const std::string pna = "Access-Control-Request-Method: POST\r\nAccess-Control-Request-Private-Network: true\r\n";
  const std::string plain = "Access-Control-Request-Method: POST\r\n";
  const struct {
    std::string origin, target, headers;
    bool private_network;
  } cases[] = {
      {kEdo, "/MERVO/GETSIGN_SYNC?CertSN=1", pna, true},
      {"http://localhost:8080", "/MERVO/ENUMCERTS", pna, true},
      {kEvil, "/MERVO/GETSIGN", pna, false},
      {kEvil, "/MERVO/PING", pna, true},  // open to every page
      {kEvil, "/MERVO/GETVER", pna, true},
      {"", "/MERVO/GETSIGN", pna, true},  // not a page
      {kEdo, "/MERVO/GETSIGN", plain, false},
      {kEvil, "/MERVO/GETSIGN", plain, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.origin + " " + c.target + (c.headers == pna ? " asking" : ""));
    HttpReply r = Call("OPTIONS", c.target, "", c.origin, c.headers);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "");
    EXPECT_EQ(r.headers["access-control-allow-origin"], c.origin);
    EXPECT_EQ(r.headers["access-control-allow-methods"], "POST, GET, OPTIONS");
    EXPECT_EQ(r.headers.count("access-control-allow-private-network"), c.private_network ? 1u : 0u);
    if (c.private_network) {
      EXPECT_EQ(r.headers["access-control-allow-private-network"], "true");
    }
  }
}

TEST_F(OriginAccess, ByDefaultEveryUnlistedSiteIsRefusedWhereNobodyCanBeAsked) {
  MakePki();
  const std::string data = Base64Encode("the document");
  const std::vector<Command> guarded = {
      {"POST", "/MERVO/GETSIGN_SYNC?CertSN=" + serial_, data},
      {"POST", "/MERVO/GETSIGN?CertSN=" + serial_ + "&TaskId=evil", data},
      {"POST", "/MERVO/SIGN_HASH_SYNC?CertSN=" + serial_, Base64Encode(std::string(32, 'h'))},
      {"POST", "/MERVO/DECRYPT_SYNC", data},
      {"POST", "/MERVO/CHECKCERTANDCLUE", Base64Encode(ivanov_)},
      {"GET", "/MERVO/ENUMCERTS", ""},
      {"GET", "/MERVO/ENUMALLCERTS", ""},
      {"GET", "/MERVO/GETCERTBODY?CertSN=" + serial_, ""},
      {"GET", "/MERVO/CHECKCERTANDCLUE?CertSN=" + serial_, ""},
      {"GET", "/MERVO/GETRESULT?Id=evil", ""},
      {"GET", "/MERVO/GETLOGINFO", ""},
      {"GET", "/MERVO/GETLOGFILE", ""},
  };
  for (const bool service_mode : {false, true}) {
    SCOPED_TRACE(service_mode ? "service mode" : "application mode without a desktop");
    Launch("", service_mode);  // no origin setting at all
    ASSERT_TRUE(box_.WaitForLog(test::StartLine(!service_mode))) << box_.Log();
    EXPECT_EQ(box_.CountInLog("EVENT Web sites admitted to the keys (ALLOWEDORIGINS): none; other sites: refused, "
                              "nobody to ask (CONFIRMORIGINS=1, no desktop)"),
              1)
        << box_.Log();
    for (const Command& c : guarded) {
      SCOPED_TRACE(c.target);
      const HttpReply refused = Call(c.method, c.target, c.body, kEvil);
      EXPECT_EQ(refused.status, 403);
      EXPECT_EQ(refused.body, Refusal(kEvil));
    }
    for (const char* open : {"/MERVO/PING", "/MERVO/TRYUSEPLUGIN", "/MERVO/GETVER"})
      EXPECT_EQ(Call("GET", open, "", kEvil).status, 200) << open;
    // A program on the machine sends no Origin: not a page, not restricted.
    EXPECT_EQ(Call("GET", "/MERVO/ENUMCERTS", "", "").status, 200);
    EXPECT_EQ(Call("GET", "/MERVO/GETRESULT?Id=evil", "", "").status, 500);  // never queued
    Stop();
    EXPECT_EQ(box_.CountInLog(Cp1251("Сайт https://evil.example не допущен к ключам (нет рабочего стола пользователя, "
                                     "спросить некого; допускает его ALLOWEDORIGINS=https://evil.example)")),
              static_cast<int>(guarded.size()))
        << box_.Log();
    std::remove(box_.log_file().c_str());
  }
}

TEST_F(OriginAccess, StartLogsThePolicyAndOriginLinesNotReadFailClosed) {
  // The example of the README: the listed site signs in service mode, with
  // the person's consent asked for the others.
  Launch("ALLOWEDORIGINS=https://edo.example.ru\r\nCONFIRMORIGINS=1\r\n", /*service_mode=*/true);
  EXPECT_EQ(Call("GET", "/MERVO/ENUMCERTS", "", kEdo).status, 200);
  EXPECT_EQ(Call("GET", "/MERVO/ENUMCERTS", "", kEvil).status, 403);
  Stop();
  EXPECT_EQ(box_.CountInLog("EVENT Web sites admitted to the keys (ALLOWEDORIGINS): https://edo.example.ru; other "
                            "sites: refused, nobody to ask (CONFIRMORIGINS=1, no desktop)"),
            1)
      << box_.Log();

  // A line the file format does not read leaves the key unset: no site is
  // listed, and the log names the line.
  for (const std::string line : {"ALLOWEDORIGINS = https://edo.example.ru", "ALLOWEDORIGINS="}) {
    SCOPED_TRACE(line);
    std::remove(box_.log_file().c_str());
    Launch(line + "\r\n", /*service_mode=*/true);
    EXPECT_EQ(Call("GET", "/MERVO/ENUMCERTS", "", kEdo).status, 403);
    EXPECT_EQ(Call("POST", "/MERVO/GETSIGN_SYNC?CertSN=00", "eA==", kEdo).status, 403);
    Stop();
    EXPECT_EQ(box_.CountInLog("ERROR " + box_.config_file() + ": not read as written: \"" + line + "\""), 1)
        << box_.Log();
    EXPECT_EQ(box_.CountInLog("EVENT Web sites admitted to the keys (ALLOWEDORIGINS): none;"), 1) << box_.Log();
  }

  // "*" is the open behaviour, chosen and warned about at every Start.
  std::remove(box_.log_file().c_str());
  Launch("ALLOWEDORIGINS=*\r\n", /*service_mode=*/true);
  EXPECT_EQ(Call("GET", "/MERVO/ENUMCERTS", "", kEvil).status, 200);
  Stop();
  EXPECT_EQ(box_.CountInLog("ERROR Warning: ALLOWEDORIGINS=* lets any web site the user opens use the keys"), 1)
      << box_.Log();
}

TEST_F(OriginAccess, DecisionsMadeAtTheDesktopHoldAfterARestart) {
  {
    // The person answers the desktop's question for this user: "always" for
    // one site, "deny" for another and "this time" for a third.
    test::ScriptedPrompt person;
    person.origin_answers = {OriginConsent::kAllowAlways, OriginConsent::kDeny, OriginConsent::kAllowOnce};
    TOriginGuard desktop(Settings{}, OriginConsentFile(ConsentFile()));
    EXPECT_EQ(desktop.Check("http://localhost:8080"), OriginVerdict::kAllowed);
    EXPECT_EQ(desktop.Check(kEvil), OriginVerdict::kDenied);
    EXPECT_EQ(desktop.Check(kEdo), OriginVerdict::kAllowed);
  }
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    // Nobody to ask in service mode: what the person decided for good holds.
    Launch("", /*service_mode=*/true);
    EXPECT_EQ(Call("GET", "/MERVO/GETLOGINFO", "", "http://localhost:8080").status, 200);
    EXPECT_EQ(Call("GET", "/MERVO/GETLOGINFO", "", kEdo).status, 403);   // allowed "this time" only
    EXPECT_EQ(Call("GET", "/MERVO/GETLOGINFO", "", kEvil).status, 403);  // denied
    Stop();
  }
  const std::string log = box_.Log();
  EXPECT_EQ(box_.CountInLog(Cp1251("Сайт https://edo.example.ru не допущен к ключам (нет рабочего стола")), 2) << log;
  EXPECT_EQ(box_.CountInLog(Cp1251("Сайт https://evil.example не допущен к ключам (запрещён пользователем")), 2) << log;

  // Revoked in the settings window: the next request of the site is
  // undecided again.
  ASSERT_TRUE(OriginConsentFile(ConsentFile()).Forget("http://localhost:8080"));
  Launch("", /*service_mode=*/true);
  EXPECT_EQ(Call("GET", "/MERVO/GETLOGINFO", "", "http://localhost:8080").status, 403);
}

}  // namespace
}  // namespace zuntar
