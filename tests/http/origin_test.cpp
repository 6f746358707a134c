// Which web pages may use the user's keys: the administrator's origin list,
// the person's consent, and how the front end applies both.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "core/process_values.h"
#include "core/settings.h"
#include "core/utf.h"
#include "http/http_access.h"
#include "http/info_commands.h"
#include "http/origin_guard.h"
#include "platform/file_io.h"
#include "support/http_client.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"

namespace zuntar {
namespace {

using namespace std::chrono_literals;
using test::HttpReply;

// A Russian text as this process's code page lets the log and the replies
// hold it (UTF-8 in replies, the code page in the log).
std::string InReply(const std::string& utf8) { return Utf8FromAnsi(AnsiFromUtf8(utf8)); }
std::string InLog(const std::string& utf8) { return AnsiFromUtf8(utf8); }

TEST(CanonicalOrigin, TakesWhatBrowsersSendAndWhatAdministratorsWrite) {
  const struct {
    const char* text;
    const char* canonical;  // nullptr: not an origin
  } cases[] = {
      {"https://edo.example.ru", "https://edo.example.ru"},
      {"HTTPS://EDO.Example.RU/", "https://edo.example.ru"},
      {"https://edo.example.ru:443", "https://edo.example.ru"},
      {"http://edo.example.ru:80", "http://edo.example.ru"},
      {"http://edo.example.ru:443", "http://edo.example.ru:443"},
      {"http://localhost:08080", "http://localhost:8080"},
      {"http://127.0.0.1:8080", "http://127.0.0.1:8080"},
      {"http://[::1]:8080", "http://[::1]:8080"},
      {"http://[::1]", "http://[::1]"},
      {"chrome-extension://abcdef", "chrome-extension://abcdef"},
      {"null", nullptr},
      {"edo.example.ru", nullptr},
      {"https://", nullptr},
      {"https://edo.example.ru/path", nullptr},
      {"https://user@edo.example.ru", nullptr},
      {"https://edo.example.ru:99999", nullptr},
      {"https://edo.example.ru:", nullptr},
      {"https://edo example.ru", nullptr},
      {"1http://edo.example.ru", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<std::string> got = CanonicalOrigin(c.text);
    if (c.canonical == nullptr) {
      EXPECT_EQ(got, std::nullopt);
    } else {
      EXPECT_EQ(got, std::string(c.canonical));
    }
  }
}

TEST(OriginList, EntriesStarAndMistakes) {
  const OriginList every("*");
  EXPECT_TRUE(every.AllowsEvery());
  EXPECT_TRUE(every.Allows("https://anything.example"));
  EXPECT_TRUE(every.Allows("null"));

  const OriginList list(" https://EDO.example.ru/ ;http://localhost:8080;;edo.example.ru;null");
  EXPECT_FALSE(list.AllowsEvery());
  EXPECT_TRUE(list.Allows("https://edo.example.ru"));
  EXPECT_TRUE(list.Allows("https://edo.example.ru:443"));
  EXPECT_TRUE(list.Allows("http://localhost:8080"));
  EXPECT_TRUE(list.Allows("null"));  // listed by its exact text
  EXPECT_FALSE(list.Allows("http://edo.example.ru"));
  EXPECT_FALSE(list.Allows("https://edo.example.ru.evil.example"));
  EXPECT_FALSE(list.Allows("http://localhost:8081"));
  EXPECT_FALSE(list.Allows("http://localhost"));
  EXPECT_EQ(list.Unusual(), (std::vector<std::string>{"edo.example.ru", "null"}));

  EXPECT_TRUE(OriginList("https://a.example;*").AllowsEvery());
  EXPECT_FALSE(OriginList(";").Allows("https://a.example"));
}

TEST(OpenCommands, OnlyPingVersionAndReadinessAreOpen) {
  for (const char* open : {"PING", "GETVER", "TRYUSEPLUGIN", "PINGX", "GETVER&x"})
    EXPECT_TRUE(CommandRegistry::IsOpenCommand(open)) << open;
  for (const char* guarded : {"GETSIGN", "GETSIGN_SYNC", "_SYNCGETSIGN", "SIGN_HASH&a=b", "DECRYPT", "GETRESULT",
                              "GETLOGINFO", "GETLOGFILE", "ENUMCERTS", "ENUMALLCERTS", "GETCERTBODY",
                              "CHECKCERTANDCLUE", "NOSUCH", ""})
    EXPECT_FALSE(CommandRegistry::IsOpenCommand(guarded)) << guarded;
}

class OriginConsentTest : public ::testing::Test {
 protected:
  Settings Confirming(const std::string& allowed = "") {
    Settings s = DefaultSettings(dir_.path());
    s.ALLOWEDORIGINS = allowed;
    s.CONFIRMORIGINS = 1;
    return s;
  }
  OriginConsentFile File() const { return OriginConsentFile(dir_ / "origin_consent"); }

  test::TempDir dir_;
};

TEST_F(OriginConsentTest, ListedSitesAreAdmittedWithoutAQuestionAndOthersAskedOnlyWithConfirmation) {
  test::ScriptedPrompt person;
  person.origin_answers = {OriginConsent::kAllowOnce};
  TOriginGuard asking(Confirming("https://edo.example.ru"), File());
  EXPECT_EQ(asking.Check("https://EDO.example.ru:443"), OriginVerdict::kAllowed);
  EXPECT_EQ(asking.Check("https://other.example"), OriginVerdict::kAllowed);
  EXPECT_EQ(person.asked, (std::vector<std::string>{"origin:https://other.example"}));
  EXPECT_TRUE(asking.NamesOrigin("https://edo.example.ru"));
  EXPECT_FALSE(asking.NamesOrigin("https://other.example"));  // admitted, but not by name

  Settings s = Confirming("https://edo.example.ru");
  s.CONFIRMORIGINS = 0;
  TOriginGuard list_only(s, File());
  EXPECT_EQ(list_only.Check("https://edo.example.ru"), OriginVerdict::kAllowed);
  EXPECT_EQ(list_only.Check("https://evil.example"), OriginVerdict::kNotListed);
  EXPECT_FALSE(list_only.MayAdmit("https://evil.example"));

  // "*" admits every site, asked or not.
  TOriginGuard open(Confirming("*"), File());
  EXPECT_EQ(open.Check("https://evil.example"), OriginVerdict::kAllowed);
  EXPECT_FALSE(open.NamesOrigin("https://evil.example"));
  EXPECT_EQ(person.asked.size(), 1u);
}

TEST_F(OriginConsentTest, AnswersAreRememberedAsThePersonChose) {
  test::ScriptedPrompt person;
  person.origin_answers = {OriginConsent::kAllowAlways, OriginConsent::kDeny, OriginConsent::kAllowOnce,
                           OriginConsent::kNoAnswer};
  {
    TOriginGuard guard(Confirming(), File());
    EXPECT_EQ(guard.Check("HTTPS://ALWAYS.example:443"), OriginVerdict::kAllowed);
    EXPECT_EQ(guard.Check("https://deny.example"), OriginVerdict::kDenied);
    EXPECT_EQ(guard.Check("https://once.example"), OriginVerdict::kAllowed);
    EXPECT_EQ(guard.Check("https://later.example"), OriginVerdict::kNoAnswer);
    // Decided: nobody is asked again while this front end runs.
    EXPECT_EQ(guard.Check("https://always.example"), OriginVerdict::kAllowed);
    EXPECT_EQ(guard.Check("https://deny.example"), OriginVerdict::kDenied);
    EXPECT_EQ(guard.Check("https://once.example"), OriginVerdict::kAllowed);
    EXPECT_EQ(person.asked, (std::vector<std::string>{"origin:https://always.example", "origin:https://deny.example",
                                                      "origin:https://once.example", "origin:https://later.example"}));
  }
  EXPECT_EQ(File().Load(), (std::map<std::string, OriginConsent>{{"https://always.example", OriginConsent::kAllowAlways},
                                                                 {"https://deny.example", OriginConsent::kDeny}}));

  // The next run: "always" and "deny" hold without a question; "this time"
  // and the unanswered question are asked again.
  person.asked.clear();
  person.origin_answers = {OriginConsent::kDeny, OriginConsent::kAllowOnce};
  TOriginGuard next(Confirming(), File());
  EXPECT_EQ(next.Check("https://always.example"), OriginVerdict::kAllowed);
  EXPECT_EQ(next.Check("https://deny.example"), OriginVerdict::kDenied);
  EXPECT_EQ(next.Check("https://once.example"), OriginVerdict::kDenied);
  EXPECT_EQ(next.Check("https://later.example"), OriginVerdict::kAllowed);
  EXPECT_EQ(person.asked, (std::vector<std::string>{"origin:https://once.example", "origin:https://later.example"}));

  // Revoked in the settings window: asked again at the next request.
  person.asked.clear();
  person.origin_answers = {OriginConsent::kAllowOnce};
  ASSERT_TRUE(File().Forget("https://always.example"));
  EXPECT_EQ(next.Check("https://always.example"), OriginVerdict::kAllowed);
  EXPECT_EQ(person.asked, (std::vector<std::string>{"origin:https://always.example"}));
  EXPECT_EQ(File().Find("https://always.example"), std::nullopt);
}

TEST_F(OriginConsentTest, WithoutADesktopUndecidedOriginsAreRefusedAndNothingIsRemembered) {
  // No prompt installed: the process has no desktop.
  TOriginGuard guard(Confirming(), File());
  EXPECT_EQ(guard.Check("https://edo.example.ru"), OriginVerdict::kNoDesktop);
  EXPECT_FALSE(guard.MayAdmit("https://edo.example.ru"));
  EXPECT_EQ(guard.Check("null"), OriginVerdict::kNotAnOrigin);
  EXPECT_FALSE(FileExists(File().file_name()));
  File().Remember("https://edo.example.ru", OriginConsent::kAllowAlways);
  EXPECT_EQ(guard.Check("https://edo.example.ru"), OriginVerdict::kAllowed);
  EXPECT_TRUE(guard.MayAdmit("https://edo.example.ru"));
}

TEST_F(OriginConsentTest, RequestsOfOneOriginShareOneQuestionAndStopCancelsIt) {
  test::ScriptedPrompt person;
  person.origin_answers = {OriginConsent::kAllowAlways, OriginConsent::kAllowAlways};
  person.HoldQuestions(true);
  TOriginGuard guard(Confirming(), File());
  std::vector<std::future<OriginVerdict>> requests;
  for (int i = 0; i < 5; ++i)
    requests.push_back(std::async(std::launch::async, [&] { return guard.Check("https://edo.example.ru"); }));
  for (int i = 0; i < 1000 && person.Running() == 0; ++i) std::this_thread::sleep_for(5ms);
  ASSERT_EQ(person.Running(), 1);
  // Another origin is not held up by the question.
  EXPECT_EQ(TOriginGuard(Confirming("https://other.example"), File()).Check("https://other.example"),
            OriginVerdict::kAllowed);
  person.HoldQuestions(false);
  for (auto& r : requests) EXPECT_EQ(r.get(), OriginVerdict::kAllowed);
  EXPECT_EQ(person.asked.size(), 1u);

  // Stop closes the question on screen: the waiting requests are refused,
  // and nothing is remembered for the origin.
  person.HoldQuestions(true);
  std::future<OriginVerdict> shown = std::async(std::launch::async, [&] { return guard.Check("https://b.example"); });
  for (int i = 0; i < 1000 && person.Running() == 0; ++i) std::this_thread::sleep_for(5ms);
  std::future<OriginVerdict> waiting = std::async(std::launch::async, [&] { return guard.Check("https://b.example"); });
  CancelAllPrompts();
  EXPECT_EQ(shown.get(), OriginVerdict::kNoAnswer);
  EXPECT_EQ(waiting.get(), OriginVerdict::kNoAnswer);
  AllowPrompts();
  EXPECT_EQ(File().Find("https://b.example"), std::nullopt);
}

// The front end in process, with the person's answers scripted.
class OriginDispatch : public ::testing::Test {
 protected:
  void Start(const std::string& allowed, bool confirm) {
    access_.reset();
    StartupValues v = BasicStartupValues(dir_.path());
    v.IsCP1251 = false;
    v.PluginVersion = "1.2.3.4";
    SetStartupValues(v);
    SetCSPStatus("");
    Settings s = DefaultSettings(dir_.path());
    s.HTTPPORT = 0;
    s.ALLOWEDORIGINS = allowed;
    s.CONFIRMORIGINS = confirm ? 1 : 0;
    plugin_.settings.Set(s);
    CommandRegistry commands;
    RegisterInformationCommands(commands);
    commands.Register("GETSIGN", CommandMethod::kPost, [](CommandContext& c) {
      c.response.body = "signed " + c.request.body;
      return 200;
    });
    commands.Register("ENUMCERTS", CommandMethod::kGet, [](CommandContext& c) {
      c.buffer = "certificates";
      return 200;
    });
    access_ = std::make_unique<THttpAccess>(plugin_, std::move(commands), OriginConsentFile(dir_ / "origin_consent"));
  }
  HttpReply Get(const std::string& target, const std::string& origin) {
    return test::Request(access_->port(), "GET", target, "", origin.empty() ? "" : "Origin: " + origin + "\r\n");
  }
  HttpReply Sign(const std::string& origin) {
    return test::Request(access_->port(), "POST", "/MERVO/GETSIGN_SYNC", "data",
                         origin.empty() ? "" : "Origin: " + origin + "\r\n");
  }
  std::string Log() const { return FileExists(LogFileName()) ? ReadFileToString(LogFileName()) : ""; }

  test::TempDir dir_;
  PluginContext plugin_;
  std::unique_ptr<THttpAccess> access_;
};

TEST_F(OriginDispatch, TheCorsReplyNamesAListedOriginAndTheRefusalIsReadable) {
  Start(" https://edo.example.ru ;edo.example.ru", false);
  EXPECT_NE(Log().find("ERROR ALLOWEDORIGINS: \"edo.example.ru\" is not an origin"), std::string::npos) << Log();
  HttpReply listed = Sign("https://edo.example.ru");
  EXPECT_EQ(listed.status, 200);
  EXPECT_EQ(listed.body, "signed data");
  EXPECT_EQ(listed.headers["access-control-allow-origin"], "https://edo.example.ru");
  EXPECT_EQ(listed.headers["vary"], "Accept-Encoding, Origin");
  // An open command keeps "*" for other pages, and names a listed one.
  EXPECT_EQ(Get("/MERVO/PING", "https://evil.example").headers["access-control-allow-origin"], "*");
  EXPECT_EQ(Get("/MERVO/PING", "https://edo.example.ru").headers["access-control-allow-origin"],
            "https://edo.example.ru");

  HttpReply refused = Sign("https://evil.example");
  EXPECT_EQ(refused.status, 403);
  EXPECT_EQ(refused.body, "{\r\n\"Status\": false,\r\n\"Data\": null,\r\n\"Errors\": [\"" +
                              InReply("Сайт https://evil.example не допущен к ключам") + "\"]\r\n}");
  // The page may read why: the refusal carries the usual headers.
  EXPECT_EQ(refused.headers["access-control-allow-origin"], "*");
  EXPECT_EQ(refused.headers["content-type"], "application/json;charset=utf-8");
  // A quote in a forged origin cannot break the envelope.
  EXPECT_EQ(Get("/MERVO/ENUMCERTS", "\"x").body, "{\r\n\"Status\": false,\r\n\"Data\": null,\r\n\"Errors\": [\"" +
                                                      InReply("Сайт \\\"x не допущен к ключам") + "\"]\r\n}");
}

TEST_F(OriginDispatch, ConsentAskedOnceIsKeptAcrossARestartOfTheFrontEnd) {
  test::ScriptedPrompt person;
  person.origin_answers = {OriginConsent::kAllowAlways, OriginConsent::kDeny};
  Start("", true);
  EXPECT_EQ(Get("/MERVO/ENUMCERTS", "https://edo.example.ru").body, "certificates");
  EXPECT_EQ(Sign("https://edo.example.ru").body, "signed data");
  EXPECT_EQ(Sign("https://evil.example").status, 403);
  EXPECT_EQ(Get("/MERVO/ENUMCERTS", "https://evil.example").status, 403);
  EXPECT_EQ(Get("/MERVO/PING", "https://third.example").status, 200);  // open: nobody asked
  EXPECT_EQ(Sign("").body, "signed data");                            // no page: nobody asked
  EXPECT_EQ(person.asked, (std::vector<std::string>{"origin:https://edo.example.ru", "origin:https://evil.example"}));
  EXPECT_NE(Log().find(InLog("Сайт https://evil.example не допущен к ключам (запрещён пользователем; допускает его "
                             "ALLOWEDORIGINS=https://evil.example): GETSIGN from IP=")),
            std::string::npos)
      << Log();

  Start("", true);
  EXPECT_EQ(Sign("https://edo.example.ru").body, "signed data");
  EXPECT_EQ(Sign("https://evil.example").status, 403);
  EXPECT_EQ(person.asked.size(), 2u);
}

}  // namespace
}  // namespace zuntar
