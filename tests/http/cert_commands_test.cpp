// The certificate commands in process: query parameters, the reply without
// a certificate manager, and the key-media question of CHECKCERTANDCLUE by
// POST with a scripted person inserting the media.
#include "http/cert_commands.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "certs/cert_text.h"
#include "core/process_values.h"
#include "core/settings.h"
#include "core/utf.h"
#include "crypto/cert_identity.h"
#include "crypto/cert_manager_instance.h"
#include "http/cert_list.h"
#include "http/query_params.h"
#include "platform/capi/csp/container_import.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"

namespace zuntar {
namespace {

namespace fs = std::filesystem;

// A Russian text as it reaches a page through the system's code page
// ('?' for each letter where that is not 1251).
std::string Shown(const std::string& utf8) { return Utf8FromAnsi(AnsiFromUtf8(utf8)); }

TEST(QueryParams, FirstNamedEntryCountsAndNothingIsDecoded) {
  const QueryParams p("CertSN=a%20b&certsn=second&Empty=&flag&x=1=2&&");
  EXPECT_EQ(p.Value("CERTSN"), "a%20b");
  EXPECT_TRUE(p.Has("empty"));
  EXPECT_EQ(p.Value("empty"), "");
  EXPECT_FALSE(p.Has("flag")) << "an entry without '=' names nothing";
  EXPECT_TRUE(p.HasEntry("FLAG"));
  EXPECT_EQ(p.Value("x"), "1=2");
  EXPECT_EQ(p.entries().size(), 6u);
  EXPECT_EQ(QueryParams("a=1\r\nb=2\nc=3").Value("c"), "3");
  EXPECT_TRUE(QueryParams("").entries().empty());
}

TEST(CertListRequest, InnIsFilledToTwelveAndOnlyValidHasTwoForms) {
  EXPECT_EQ(CertListRequestOf("inn= 7701234567 ", true).inn, "007701234567");
  EXPECT_EQ(CertListRequestOf("inn=1234567890123", true).inn, "1234567890123");
  EXPECT_EQ(CertListRequestOf("inn=", true).inn, "000000000000");
  EXPECT_EQ(CertListRequestOf("x=1", true).inn, "");
  for (const char* yes : {"onlyValid", "a=1&ONLYVALID", "onlyvalid=True"})
    EXPECT_TRUE(CertListRequestOf(yes, true).only_valid) << yes;
  for (const char* no : {"onlyValid=1", "onlyValid=", "onlyValid=false&onlyValid=true", "x=onlyValid", "onlyValidX"})
    EXPECT_FALSE(CertListRequestOf(no, true).only_valid) << no;
}

class CertCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    StartupValues v = BasicStartupValues(dir_.path());
    v.IsCP1251 = true;
    SetStartupValues(v);
    plugin_.settings.Set(DefaultSettings(dir_.path()));
    SetCSPStatus("");
    plugin_.certificate_manager.Create(1);
    RegisterCertificateCommands(commands_);
  }
  void TearDown() override {
    plugin_.certificate_manager.Reset();
    SetCSPStatus("");
  }

  // Runs a command's handler as the front end would; the reply body.
  std::string Run(const std::string& command, CommandMethod method, const std::string& query,
                  const std::string& body = "", const std::string& peer = "127.0.0.1") {
    HttpRequest request;
    request.method = method == CommandMethod::kPost ? "POST" : "GET";
    request.query = query;
    request.body = body;
    request.peer_ip = peer;
    HttpResponse response;
    std::string buffer;
    CommandContext context{request, response, buffer, plugin_};
    const CommandEntry* entry = commands_.Find(command, method);
    EXPECT_NE(entry, nullptr);
    EXPECT_EQ(commands_.HandlerOf(*entry)(context), 200);
    return buffer.empty() ? response.body : buffer;
  }

  test::TempDir dir_;
  test::ScopedPlatformRoot root_{dir_ / "root"};
  PluginContext plugin_;
  CommandRegistry commands_;
};

TEST_F(CertCommands, WithoutTheManagerEveryCommandAnswersTheStartStatus) {
  plugin_.certificate_manager.Reset();
  SetCSPStatus("CSP_SELF_TEST_FAILED");
  const std::string expected = "{\r\n\"Status\": false,\r\n\"Data\": null,\r\n\"Errors\": [\"CSP_SELF_TEST_FAILED\"]\r\n}";
  EXPECT_EQ(Run("ENUMCERTS", CommandMethod::kGet, ""), expected);
  EXPECT_EQ(Run("ENUMALLCERTS", CommandMethod::kGet, "inn=1"), expected);
  EXPECT_EQ(Run("GETCERTBODY", CommandMethod::kGet, "CertSN=01"), expected);
  EXPECT_EQ(Run("CHECKCERTANDCLUE", CommandMethod::kGet, "CertSN=01"), expected);
  EXPECT_EQ(Run("CHECKCERTANDCLUE", CommandMethod::kPost, "", "body"), expected);
}

TEST_F(CertCommands, PostedCertificateOnMediaIsFoundAfterTheQuestion) {
  const test::Issued ca = test::MakeCa();
  CertRequest r = test::UserRequest("Носитель");
  r.not_before = 1699963200;  // noon UTC, 14.11.2023 in the time zones of people
  const test::Issued user = test::MakeUser(ca, "", GostKeyKind::k2012_256, &r);
  fs::create_directories(dir_ / "root/media/USB1");
  ASSERT_TRUE(ImportKeyContainer("\\\\.\\FAT12_A\\user.000", user.key.get(), user.der, "", AT_KEYEXCHANGE).has_value());
  fs::rename(dir_ / "root/media/USB1", dir_ / "USB1");

  test::ScriptedPrompt person;
  person.confirm_answers.push_back({true, nullptr});
  person.confirm_answers.push_back({true, [&] { fs::rename(dir_ / "USB1", dir_ / "root/media/USB1"); }});
  const std::string success = "{\r\n\"Status\": true,\r\n\"Data\": null,\r\n\"Errors\": []\r\n}";
  // A page of another machine: no question, and the key stays missing.
  EXPECT_EQ(Run("CHECKCERTANDCLUE", CommandMethod::kPost, "", user.der, "192.168.0.7"),
            "{\r\n\"Status\": false,\r\n\"Data\": null,\r\n\"Errors\": [\"" + Shown("ключевой носитель не найден") +
                "\"]\r\n}");
  EXPECT_TRUE(person.asked.empty());

  EXPECT_EQ(Run("CHECKCERTANDCLUE", CommandMethod::kPost, "", user.der), success);
  ASSERT_EQ(person.messages.size(), 2u);
  const PCCERT_CONTEXT cert = DecodeCertificate(user.der);
  const std::string expected =
      "Для продождения работы необходимо установить ключевой носитель,\r\n"
      "соответствующий сертификату ключа: \r\n"
      " - владелец: " + Shown("ООО \"Ромашка\"") + "\r\n"
      " - дата выпуска: 14.11.2023\r\n"
      " - серийный номер: " +
      SerialWithColons(CertSerialHex(cert)) + "\r\n - отпечаток: " + CertThumbprintHex(cert) +
      "\r\n\r\n"
      "Пожалуйста, установите в Ваш компьютер ключевой носитель (или носители)\r\n"
      "на которых может находиться нужный ключ!\r\n\r\n"
      "Нажмите кнопку \"Поиск ключа\" для автоматического поиска ключа на доступных\r\n"
      "ключевых носителях или кнопку \"Отмена\" - для отмены выполнения операции.";
  EXPECT_EQ(person.messages[0], expected);
  EXPECT_EQ(person.messages[1], expected);
  // Installed and linked: the next check needs no question.
  EXPECT_EQ(Run("CHECKCERTANDCLUE", CommandMethod::kGet, "CertThumb=" + CertThumbprintHex(cert)), success);
  EXPECT_EQ(Run("CHECKCERTANDCLUE", CommandMethod::kPost, "", user.der), success);
  EXPECT_EQ(person.messages.size(), 2u);
}

TEST_F(CertCommands, FactsAreWorkedOutOncePerCertificateWhileTheyFit) {
  const test::Issued ca = test::MakeCa();
  const Bytes a = test::MakeUser(ca, "A").der, b = test::MakeUser(ca, "B").der;
  CertListCache cache(2);
  const auto first = cache.Get(*plugin_.certificate_manager.Get(), a);
  EXPECT_EQ(cache.Get(*plugin_.certificate_manager.Get(), a), first);
  EXPECT_EQ(first->serial, SerialWithColons(CertSerialHex(DecodeCertificate(a))));
  EXPECT_NE(first->entry.find("\",\"Subject\": \"CN=A,"), std::string::npos) << first->entry;
  EXPECT_LT(first->key_start, first->key_end);
  const auto other = cache.Get(*plugin_.certificate_manager.Get(), b);
  EXPECT_NE(other->entry, first->entry);
  // Full: everything is worked out anew, and still right.
  const auto again = cache.Get(*plugin_.certificate_manager.Get(), Bytes("not a certificate"));
  EXPECT_FALSE(again->has_inn);
  EXPECT_NE(cache.Get(*plugin_.certificate_manager.Get(), a), first);
  EXPECT_EQ(cache.Get(*plugin_.certificate_manager.Get(), a)->entry, first->entry);
}

TEST_F(CertCommands, QuestionNamesTheMessageBoxButtonAndTheHolderFallsBackOnCn) {
  StartupValues v = BasicStartupValues(dir_.path());
  v.IsCP1251 = false;
  SetStartupValues(v);
  VCERT_INFO info;
  info.SubjectName = "CN=Acme Root,C=RU";
  info.SerialNumber = "0A:1B";
  info.NotBefore = 1699963200;
  info.Thumbprint = std::string("\x01\xAB", 2);
  const std::string text = Utf8FromWide(WideFromCp1251(CertCheckPromptText(info)));
  EXPECT_NE(text.find(" - владелец: Acme Root\r\n - дата выпуска: 14.11.2023\r\n - серийный номер: 0A:1B\r\n"
                      " - отпечаток: 01AB\r\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Нажмите кнопку \"Ok\" для"), std::string::npos);
}

}  // namespace
}  // namespace zuntar
