// The certificate commands of the real executable over HTTP, against the
// test PKI of zuntar-certtool and certificates made here, all in the
// sandbox's private platform tree.
#include <gtest/gtest.h>
#include <time.h>

#include <filesystem>
#include <optional>
#include <thread>

#include "certs/cert_text.h"
#include "certs/key_containers.h"
#include "core/base64.h"
#include "crypto/cert_identity.h"
#include "platform/capi/csp/container_import.h"
#include "platform/file_io.h"
#include "plugin_sandbox.h"
#include "support/http_client.h"
#include "support/scoped_env.h"
#include "support/test_pki.h"

namespace zuntar {
namespace {

using test::Cp1251;
using test::HttpReply;
using test::PluginProcess;
using test::PluginSandbox;

constexpr int64_t kDay = 86400;

std::string ErrorEnvelope(const std::string& utf8) {
  return "{\r\n\"Status\": false,\r\n\"Data\": null,\r\n\"Errors\": [\"" + utf8 + "\"]\r\n}";
}
const std::string kSuccess = "{\r\n\"Status\": true,\r\n\"Data\": null,\r\n\"Errors\": []\r\n}";

// The local date of a moment, written independently of the plugin's code.
std::string LocalDate(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm parts {};
  localtime_r(&t, &parts);
  char text[16];
  strftime(text, sizeof text, "%Y-%m-%d", &parts);
  return text;
}

class CertPlugin : public ::testing::Test {
 protected:
  ~CertPlugin() override {
    if (plugin_) {
      EXPECT_EQ(plugin_->Terminate(), 0) << box_.Log();
    }
  }

  // The test PKI of the tool: ivanov, petrov, sidorov, expired, notyet and
  // noinn linked in MY; nolink and media only in containers.
  void MakeToolPki() {
    box_.RegisterProvider();
    std::string out;
    ASSERT_EQ(box_.CertTool("make-test-pki --out " + box_.root() + "pki", &out), 0) << out;
  }
  Bytes ToolCert(const std::string& id) const { return ReadFileToString(box_.root() + "pki/" + id + ".cer"); }

  // A certificate of our own CA with a key in a registry container, linked
  // from MY.
  Bytes AddLinkedUser(const test::Issued& ca, const std::string& container, const CertRequest& request) {
    test::ScopedEnv root("ZUNTAR_PLATFORM_ROOT", box_.root());
    CertRequest r = request;
    const test::Issued user = test::MakeUser(ca, "", GostKeyKind::k2012_256, &r);
    EXPECT_TRUE(ImportKeyContainer("\\\\.\\REGISTRY\\" + container, user.key.get(), user.der, "", AT_KEYEXCHANGE)
                    .has_value());
    InstallCertificateForContainer(ReadProviderState(), "\\\\.\\REGISTRY\\" + container, user.der);
    return user.der;
  }

  void Launch(const std::string& extra_config = "", bool database = true) {
    port_ = test::FreePort();
    std::string err;
    if (database) {
      ASSERT_EQ(box_.Run({"-CREATEDB"}, nullptr, &err), 0) << err;
    }
    WriteStringToFile("HTTPPORT=" + std::to_string(port_) + "\r\nLOG_LEVEL=2\r\n" + extra_config, box_.config_file());
    plugin_.emplace(box_.Start({}));
    for (int i = 0; i < 500; ++i) {
      const int fd = test::Connect(port_);
      if (fd >= 0) {
        ::close(fd);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    FAIL() << "the plugin does not listen\n" << box_.Log();
  }

  HttpReply Get(const std::string& target, const std::string& source_ip = "") {
    return test::Request(port_, "GET", target, "", "", source_ip);
  }
  HttpReply Post(const std::string& target, const std::string& body, const std::string& source_ip = "") {
    return test::Request(port_, "POST", target, body, "", source_ip);
  }

  static std::string Serial(const Bytes& der) { return CertSerialHex(DecodeCertificate(der)); }
  static std::string Thumb(const Bytes& der) { return CertThumbprintHex(DecodeCertificate(der)); }
  static bool Lists(const HttpReply& r, const Bytes& der) {
    return r.body.find("{\"Serial\":\"" + Serial(der) + "\",") != std::string::npos;
  }
  static size_t Entries(const HttpReply& r) {
    size_t n = 0;
    for (size_t at = r.body.find("{\"Serial\""); at != std::string::npos; at = r.body.find("{\"Serial\"", at + 1)) ++n;
    return n;
  }

  PluginSandbox box_;
  std::optional<PluginProcess> plugin_;
  int port_ = 0;
};

TEST_F(CertPlugin, ListsPersonalCertificatesByInnAndKeyPeriodByteForByte) {
  MakeToolPki();
  const test::Issued ca = test::MakeCa();
  // Another organisation, whose O holds a quote and a backslash, and whose
  // key period lies inside the certificate's validity.
  const int64_t now = test::NowSeconds();
  CertRequest r = test::UserRequest("Другой Дмитрий");
  r.subject[3].value = "ООО \"Лютик\" \\ филиал";
  r.subject[6].value = "005001234567";
  r.subject[7].value = "5001234567";
  r.not_before = now - 20 * kDay;
  r.not_after = now + 200 * kDay;
  r.private_key_usage_period = {{now - 10 * kDay, now + 100 * kDay}};
  const Bytes other = AddLinkedUser(ca, "other", r);
  Launch();

  // Without parameters: expired listed; no INN, not yet valid, unlinked and
  // media-only never.
  HttpReply all = Get("/MERVO/ENUMCERTS");
  EXPECT_EQ(all.status, 200);
  for (const char* id : {"ivanov", "petrov", "sidorov", "expired"}) EXPECT_TRUE(Lists(all, ToolCert(id))) << id;
  for (const char* id : {"notyet", "noinn", "nolink", "media"}) EXPECT_FALSE(Lists(all, ToolCert(id))) << id;
  EXPECT_TRUE(Lists(all, other));
  EXPECT_EQ(Entries(all), 5u);
  EXPECT_EQ(all.body.substr(0, 31), "{\r\n\"Status\": true,\r\n\"Data\": [\r\n");
  EXPECT_EQ(all.body.substr(all.body.size() - 21), "\"}],\r\n\"Errors\": []\r\n}");

  for (const char* flag : {"onlyValid", "ONLYVALID&x=1", "onlyValid=TRUE"}) {
    const HttpReply valid = Get(std::string("/MERVO/ENUMCERTS?") + flag);
    EXPECT_EQ(Entries(valid), 4u) << flag;
    EXPECT_FALSE(Lists(valid, ToolCert("expired"))) << flag;
  }
  EXPECT_EQ(Entries(Get("/MERVO/ENUMCERTS?onlyValid=1")), 5u);

  // A ten-digit INN matches the twelve-digit one with its leading zeros;
  // the organisation's (INNLE) counts before the person's.
  const HttpReply mine = Get("/MERVO/ENUMCERTS?inn=5001234567");
  const std::string expected_entry =
      "{\"Serial\":\"" + Serial(other) + "\",\"Thumbprint\": \"" + Thumb(other) +
      "\",\"Subject\": \"CN=Другой Дмитрий,O=ООО \\\"Лютик\\\" \\\\ филиал,L=Москва,ST=77 Москва,C=RU,SN=Иванов,"
      "GN=Иван Иванович,INN=005001234567,INNLE=5001234567,OGRN=1027700132195,SNILS=12345678901"
      "\",\"SubjectName\": \"ООО \\\"Лютик\\\" \\\\ филиал\",\"Issuer\": \"CN=Тестовый УЦ,O=Тестовый УЦ,C=RU"
      "\",\"IssuerName\": \"Тестовый УЦ\",\"SubjectFIO\": \"Иванов Иван Иванович\",\"ValidFrom\": \"" +
      LocalDate(now - 10 * kDay) + "\",\"ValidFor\": \"" + LocalDate(now + 100 * kDay) + "\"}";
  EXPECT_EQ(mine.body, "{\r\n\"Status\": true,\r\n\"Data\": [\r\n" + expected_entry + "],\r\n\"Errors\": []\r\n}");
  EXPECT_EQ(Get("/MERVO/ENUMCERTS?inn=%207701234567").body, ErrorEnvelope("сертификаты не найдены"))
      << "values are not decoded";
  EXPECT_EQ(Entries(Get("/MERVO/ENUMCERTS?INN=7701234567&inn=5001234567")), 4u) << "the first entry counts";
  EXPECT_EQ(Get("/MERVO/ENUMCERTS?inn=123").body, ErrorEnvelope("сертификаты не найдены"));
  EXPECT_TRUE(box_.WaitForLog(Cp1251("EVENT Нandle") + "EnumCerts,005001234567,count=1\r\n")) << box_.Log();
  EXPECT_TRUE(box_.WaitForLog(Cp1251("EVENT Нandle") + "EnumCerts,000000000123,certificates not founded\r\n"));

  // ENUMALLCERTS takes unlinked certificates too, never expired ones.
  ASSERT_EQ(box_.CertTool("install " + box_.root() + "pki/nolink.cer"), 0);
  const HttpReply every = Get("/MERVO/ENUMALLCERTS");
  EXPECT_TRUE(Lists(every, ToolCert("nolink")));
  EXPECT_FALSE(Lists(every, ToolCert("expired")));
  EXPECT_FALSE(Lists(Get("/MERVO/ENUMCERTS"), ToolCert("nolink")));
  // Pages of other machines never see the list.
  const HttpReply remote = Get("/MERVO/ENUMCERTS", "127.0.0.2");
  EXPECT_EQ(remote.status, 501);
  EXPECT_EQ(remote.body, "");
}

TEST_F(CertPlugin, EveryCertificateExpiredAndTheKeyPeriodDecides) {
  box_.RegisterProvider();
  const test::Issued ca = test::MakeCa();
  const int64_t now = test::NowSeconds();
  CertRequest r = test::UserRequest("Ключ истёк");
  r.not_before = now - 20 * kDay;
  r.not_after = now + 200 * kDay;  // the certificate is valid, its key no longer
  r.private_key_usage_period = {{now - 20 * kDay, now - kDay}};
  const Bytes key_ended = AddLinkedUser(ca, "key-ended", r);
  r.not_after = now - 2 * kDay;
  r.private_key_usage_period.reset();
  const Bytes expired = AddLinkedUser(ca, "expired", r);
  Launch();
  EXPECT_EQ(Get("/MERVO/ENUMALLCERTS").body, ErrorEnvelope("сертификаты не найдены"));
  EXPECT_EQ(Get("/MERVO/ENUMCERTS?onlyvalid").body, ErrorEnvelope("сертификаты не найдены"));
  const HttpReply listed = Get("/MERVO/ENUMCERTS");
  EXPECT_TRUE(Lists(listed, key_ended));
  EXPECT_TRUE(Lists(listed, expired));
  EXPECT_NE(listed.body.find("\"ValidFor\": \"" + LocalDate(now - kDay) + "\"}"), std::string::npos);
}

TEST_F(CertPlugin, OtherCodePagesExplainWhichInnsDiffered) {
  MakeToolPki();
  box_.AddEnv("LC_ALL=en_US.ISO-8859-1");  // code page 1252: English texts, no database
  Launch("", false);
  const HttpReply r = Get("/MERVO/ENUMCERTS?inn=5001234567");
  const std::string prefix = "{\r\n\"Status\": false,\r\n\"Data\": null,\r\n\"Errors\": [\"certificates not founded";
  ASSERT_EQ(r.body.substr(0, prefix.size()), prefix) << r.body;
  // One piece for each linked certificate, whatever its dates or INN.
  for (const char* id : {"ivanov", "petrov", "sidorov", "expired", "notyet"})
    EXPECT_NE(r.body.find(", " + SerialWithColons(Serial(ToolCert(id))) + " 007701234567<>005001234567"),
              std::string::npos)
        << id << "\n" << r.body;
  EXPECT_NE(r.body.find(", " + SerialWithColons(Serial(ToolCert("noinn"))) + " 000000000000<>005001234567"),
            std::string::npos);
  size_t pieces = 0;
  for (size_t at = r.body.find("<>"); at != std::string::npos; at = r.body.find("<>", at + 1)) ++pieces;
  EXPECT_EQ(pieces, 6u);
  EXPECT_EQ(Post("/MERVO/CHECKCERTANDCLUE", "no certificate").body, ErrorEnvelope("Invalid cert body"));
}

TEST_F(CertPlugin, BodiesAndChecksBySerialOrThumbprint) {
  MakeToolPki();
  Launch();
  const Bytes ivanov = ToolCert("ivanov");
  const std::string data = "{\r\n\"Status\": true,\r\n\"Data\": \"" + Base64Encode(ivanov) + "\",\r\n\"Errors\": []\r\n}";
  // Serial numbers as people copy them: colons, blanks, lower case.
  std::string lower = SerialWithColons(Serial(ivanov));
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(Get("/MERVO/GETCERTBODY?CertSN=" + lower).body, data);
  EXPECT_EQ(Get("/MERVO/GETCERTBODY?certthumb=" + Thumb(ivanov)).body, data);
  EXPECT_EQ(Get("/MERVO/GETCERTBODY?CertSN=" + Serial(ivanov) + "&CertThumb=00").body, data);

  EXPECT_EQ(Get("/MERVO/GETCERTBODY?CertSN").body, ErrorEnvelope("Не указан SN (или Thumbprint) сертификата"));
  EXPECT_EQ(Get("/MERVO/CHECKCERTANDCLUE").body, ErrorEnvelope("Не указан SN (или Thumbprint) сертификата"));
  EXPECT_EQ(Get("/MERVO/GETCERTBODY?CertSN=").body, ErrorEnvelope("сертификат с отпечатком:  не найден"));
  EXPECT_EQ(Get("/MERVO/GETCERTBODY?CertSN=AB%20CD").body, ErrorEnvelope("сертификат с SN: AB%20CD не найден"));
  EXPECT_EQ(Get("/MERVO/GETCERTBODY?CertThumb=ab:cd").body, ErrorEnvelope("сертификат с отпечатком: abcd не найден"));
  // Only the current user's personal store counts.
  EXPECT_EQ(Get("/MERVO/GETCERTBODY?CertSN=" + Serial(ToolCert("media"))).body,
            ErrorEnvelope("сертификат с SN: " + Serial(ToolCert("media")) + " не найден"));

  EXPECT_EQ(Get("/MERVO/CHECKCERTANDCLUE?CertSN=" + lower).body, kSuccess);
  EXPECT_EQ(Get("/MERVO/CHECKCERTANDCLUE?CertThumb=" + Thumb(ToolCert("media"))).body,
            ErrorEnvelope("сертификат не найден"));
  ASSERT_EQ(box_.CertTool("install " + box_.root() + "pki/nolink.cer"), 0);
  EXPECT_EQ(Get("/MERVO/CHECKCERTANDCLUE?CertThumb=" + Thumb(ToolCert("nolink"))).body,
            ErrorEnvelope("ключевой носитель не найден"));
  EXPECT_EQ(Get("/MERVO/CHECKCERTANDCLUE?CertSN=" + lower, "127.0.0.2").status, 501);
  EXPECT_EQ(Get("/MERVO/GETCERTBODY?CertSN=" + lower, "127.0.0.2").status, 501);
}

TEST_F(CertPlugin, PostedCertificatesInDerPemOrNeither) {
  MakeToolPki();
  Launch();
  const Bytes ivanov = ToolCert("ivanov");
  EXPECT_EQ(Post("/MERVO/CHECKCERTANDCLUE", ivanov).body, kSuccess);
  const std::string pem = "-----BEGIN CERTIFICATE-----\r\n" + Base64Encode(ivanov) + "\r\n-----END CERTIFICATE-----\r\n";
  EXPECT_EQ(Post("/MERVO/CHECKCERTANDCLUE", pem).body, kSuccess);
  EXPECT_EQ(Post("/MERVO/CHECKCERTANDCLUE", Base64Encode(ivanov)).body, kSuccess);
  const std::string refused = ErrorEnvelope("Переданные данные не являются сертификатом безопасности");
  EXPECT_EQ(Post("/MERVO/CHECKCERTANDCLUE", "Lorem ipsum dolor sit amet").body, refused);
  std::string random(700, '\0');
  for (size_t i = 0; i < random.size(); ++i) random[i] = static_cast<char>((i * 2654435761u) >> 11);
  EXPECT_EQ(Post("/MERVO/CHECKCERTANDCLUE", random).body, refused);
  EXPECT_EQ(Post("/MERVO/CHECKCERTANDCLUE", "").body, refused);

  // The key is on media nobody inserted. This executable has no desktop,
  // so the question answers Cancel at once; a page served elsewhere never
  // asks at all.
  const Bytes media = ToolCert("media");
  const std::string not_found = ErrorEnvelope("ключевой носитель не найден");
  EXPECT_EQ(Post("/MERVO/CHECKCERTANDCLUE", media).body, not_found);
  EXPECT_TRUE(box_.WaitForLog(Cp1251("Нет рабочего стола пользователя: запрос ключевого носителя отменён, SN: ") +
                              Serial(media)))
      << box_.Log();
  EXPECT_EQ(Post("/MERVO/CHECKCERTANDCLUE", media, "127.0.0.2").body, not_found);
  EXPECT_TRUE(box_.WaitForLog(Cp1251("Запрос ключевого носителя от удалённого абонента отклонён, IP=127.0.0.2, SN: ") +
                              Serial(media)));
  EXPECT_EQ(box_.CountInLog(Cp1251("Нет рабочего стола")), 1);
  // The POST form answers every peer; its _SYNC form only this machine.
  EXPECT_EQ(Post("/MERVO/CHECKCERTANDCLUE", ivanov, "127.0.0.2").body, kSuccess);
}

TEST_F(CertPlugin, UnreadableStoreIsStatus500WithTheReason) {
  MakeToolPki();
  Launch();
  namespace fs = std::filesystem;
  const std::string store = box_.root() + "user/stores/MY";
  ASSERT_TRUE(fs::is_directory(store));
  fs::rename(store, store + ".away");
  WriteStringToFile("not a folder", store);
  const HttpReply r = Get("/MERVO/ENUMCERTS");
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.reason, Cp1251("Ошибка открытия хранилища сертификатов."));
  EXPECT_EQ(r.body, "");
}

TEST_F(CertPlugin, WithoutProviderPingSaysSoAndTheLogSaysWhy) {
  Launch();
  const std::string version = std::string(ZUNTAR_PLUGIN_VERSION).empty() ? "null" : "\"" ZUNTAR_PLUGIN_VERSION "\"";
  EXPECT_EQ(Get("/MERVO/PING").body,
            "{\r\n\"Status\": false,\r\n\"Data\": " + version + ",\r\n\"Errors\": [\"CSP_NOT_EXIST\"]\r\n}");
  EXPECT_EQ(Get("/MERVO/TRYUSEPLUGIN", "127.0.0.2").body, ErrorEnvelope("CSP_NOT_EXIST"));
  EXPECT_EQ(box_.CountInLog(Cp1251("ERROR Не обнаружена установка СКЗИ, поддерживающая ГОСТ алгоритмы ЭП и шифрования!")),
            1);
  // The stores need no provider: an empty one is listed as such.
  EXPECT_EQ(Get("/MERVO/ENUMCERTS").body, ErrorEnvelope("сертификаты не найдены"));
}

}  // namespace
}  // namespace zuntar
