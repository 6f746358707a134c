// The key-media prompt with a scripted person who "inserts media" by
// putting volumes holding key containers under the media root of a private
// platform tree.
#include "tasks/key_media.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "certs/provider_detection.h"
#include "core/process_values.h"
#include "core/text.h"
#include "core/utf.h"
#include "crypto/cert_identity.h"
#include "platform/capi/cert/cert_store.h"
#include "platform/capi/csp/container_import.h"
#include "platform/file_io.h"
#include "support/scripted_prompt.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"

namespace zuntar {
namespace {

namespace fs = std::filesystem;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

class KeyMediaTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ca_ = new test::Issued(test::MakeCa());
    for (const char* name : {"first", "second", "stranger"}) users_.push_back(test::MakeUser(*ca_, name));
  }
  static void TearDownTestSuite() {
    users_.clear();
    delete ca_;
    ca_ = nullptr;
  }

  void SetUp() override {
    StartupValues v = BasicStartupValues(dir_.path());
    v.IsCP1251 = true;
    SetStartupValues(v);
    providers_ = ReadProviderState();
    // Each user's key on a volume of its own, kept on the shelf until the
    // person inserts it.
    fs::create_directories(dir_ / "shelf");
    for (size_t i = 0; i < users_.size(); ++i) fs::create_directories(dir_ / ("root/media/" + Volume(i)));
    for (size_t i = 0; i < users_.size(); ++i) {
      const std::string container = "\\\\.\\FAT12_" + std::string(1, static_cast<char>('A' + i)) +
                                    "\\keys\\key" + std::to_string(i + 1) + ".000";
      ASSERT_TRUE(ImportKeyContainer(container, users_[i].key.get(), users_[i].der, "", AT_KEYEXCHANGE).has_value());
    }
    for (size_t i = 0; i < users_.size(); ++i)
      fs::rename(dir_ / ("root/media/" + Volume(i)), dir_ / ("shelf/" + Volume(i)));
  }

  static std::string Volume(size_t user) { return "USB" + std::to_string(user + 1); }

  // An action of the scripted person: the volumes of these users go in.
  std::function<void()> Insert(std::vector<size_t> users) {
    return [this, users] {
      for (size_t i : users) fs::rename(dir_ / ("shelf/" + Volume(i)), dir_ / ("root/media/" + Volume(i)));
    };
  }

  static std::string Serial(size_t user) { return CertSerialHex(DecodeCertificate(users_[user].der)); }
  static std::string Thumb(size_t user) { return CertThumbprintHex(DecodeCertificate(users_[user].der)); }

  // The personal store's certificates, each with the container it is linked to.
  static std::map<std::string, std::string> Installed() {
    std::map<std::string, std::string> out;
    HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(my, nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(my, c)) {
      CRYPT_KEY_PROV_INFO info;
      EXPECT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, &info));
      out[CertSerialHex(c)] = std::string(info.pwszContainerName.begin(), info.pwszContainerName.end());
    }
    return out;
  }

  std::string Log() const {
    try {
      return ReadFileToString(LogFileName());
    } catch (const std::exception&) {
      return {};
    }
  }

  static TCryptoTask Task(uint8_t type, const std::string& serials, const std::string& thumbs = "") {
    TCryptoTask task;
    task.TaskType = type;
    task.CertSN = serials;
    task.CertThumb = thumbs;
    return task;
  }

  test::TempDir dir_;
  test::ScopedPlatformRoot root_{dir_ / "root"};
  ProviderState providers_;
  static test::Issued* ca_;
  static std::vector<test::Issued> users_;
};

test::Issued* KeyMediaTest::ca_ = nullptr;
std::vector<test::Issued> KeyMediaTest::users_;

TEST_F(KeyMediaTest, OneConfirmationInstallsEveryWantedCertificateOnTheInsertedMedia) {
  test::ScriptedPrompt person;
  // The stranger's medium goes in too: its certificate is not wanted.
  person.confirm_answers.push_back({true, Insert({0, 1, 2})});
  ASSERT_TRUE(RequestKeyMedia(Task(kTaskDetachedSign, Serial(0) + ";" + Serial(1)), providers_));
  EXPECT_EQ(person.asked, (std::vector<std::string>{std::string("confirm:") + kKeyMediaCaption}));
  EXPECT_EQ(person.buttons, (std::vector<std::string>{"Поиск ключа|Отмена"}));
  const std::string expected =
      "Запрашиваемая криптографическая операция установки ЭП не может\r\n"
      "быть выполнена без установленного сертификата ключа с SN:\r\n" +
      Serial(0) + "\r\n" + Serial(1) +
      "\r\n\r\n"
      "Пожалуйста, установите в Ваш компьютер ключевой носитель (или носители)\r\n"
      "на которых может находиться нужный ключ!\r\n\r\n"
      "Нажмите кнопку \"Поиск ключа\" для автоматического поиска ключа на доступных\r\n"
      "ключевых носителях или кнопку \"Отмена\" - для отмены выполнения операции.";
  EXPECT_EQ(person.messages, (std::vector<std::string>{expected}));
  EXPECT_EQ(Installed(), (std::map<std::string, std::string>{{Serial(0), "\\\\.\\FAT12_A\\keys\\key1.000"},
                                                             {Serial(1), "\\\\.\\FAT12_B\\keys\\key2.000"}}));
  EXPECT_NE(Log().find(AnsiFromUtf8("Сертификат ") + Serial(1) +
                       AnsiFromUtf8(" установлен для ключевого контейнера \\\\.\\FAT12_B\\keys\\key2.000")),
            std::string::npos)
      << Log();
}

TEST_F(KeyMediaTest, NothingFoundAsksAgainWithTheSameMessageUntilFoundOrCancelled) {
  test::ScriptedPrompt person;
  person.confirm_answers.push_back({true, nullptr});            // nothing inserted
  person.confirm_answers.push_back({true, Insert({2})});        // the wrong medium
  person.confirm_answers.push_back({true, Insert({1})});        // the right one
  ASSERT_TRUE(RequestKeyMedia(Task(kTaskDecrypt, Serial(1)), providers_));
  ASSERT_EQ(person.messages.size(), 3u);
  EXPECT_EQ(person.messages[0], person.messages[2]);
  EXPECT_NE(person.messages[0].find("операция расшифрования не может"), std::string::npos);
  EXPECT_EQ(Installed().size(), 1u);

  // Cancel ends it with nothing installed.
  person.confirm_answers.push_back({true, nullptr});
  person.confirm_answers.push_back({false, Insert({0})});
  EXPECT_FALSE(RequestKeyMedia(Task(kTaskSignHash, Serial(0)), providers_));
  EXPECT_EQ(person.messages.size(), 5u);
  EXPECT_EQ(Installed().count(Serial(0)), 0u);
  EXPECT_NE(person.messages[4].find("операция установки ЭП не может"), std::string::npos);
}

TEST_F(KeyMediaTest, TheWantedListEndsAtAnEmptyEntry) {
  test::ScriptedPrompt person;
  // Nothing wanted: no question at all.
  EXPECT_FALSE(RequestKeyMedia(Task(kTaskDetachedSign, ";" + Serial(0)), providers_));
  EXPECT_FALSE(RequestKeyMedia(Task(kTaskDetachedSign, "", ""), providers_));
  EXPECT_TRUE(person.asked.empty());

  person.confirm_answers.push_back({true, Insert({0, 1})});
  ASSERT_TRUE(RequestKeyMedia(Task(kTaskAttachedSign, Serial(0) + ";;" + Serial(1)), providers_));
  ASSERT_EQ(person.messages.size(), 1u);
  EXPECT_NE(person.messages[0].find("SN:\r\n" + Serial(0) + "\r\n\r\n"), std::string::npos) << person.messages[0];
  EXPECT_EQ(person.messages[0].find(Serial(1)), std::string::npos);
  EXPECT_EQ(Installed(), (std::map<std::string, std::string>{{Serial(0), "\\\\.\\FAT12_A\\keys\\key1.000"}}));
}

TEST_F(KeyMediaTest, ThumbprintsMatchInEitherCase) {
  test::ScriptedPrompt person;
  person.confirm_answers.push_back({true, Insert({0, 1})});
  const TCryptoTask task = Task(kTaskDecryptSedoResponse, "", Lower(Thumb(0)) + ";" + Thumb(1));
  const WantedCertificates wanted = WantedCertificatesOf(task);
  EXPECT_FALSE(wanted.by_serial);
  ASSERT_TRUE(RequestKeyMedia(task, providers_));
  EXPECT_NE(person.messages[0].find("ключа с отпечатком\r\n" + Lower(Thumb(0)) + "\r\n" + Thumb(1) + "\r\n\r\n"),
            std::string::npos)
      << person.messages[0];
  EXPECT_EQ(Installed().size(), 2u);
}

TEST_F(KeyMediaTest, CertificateCheckInstallsTheOneSerialWithTheCallersMessage) {
  test::ScriptedPrompt person;
  person.confirm_answers.push_back({true, Insert({2})});
  person.confirm_answers.push_back({true, Insert({0, 1})});
  const std::string message = Cp1251FromUtf8("Вставьте носитель «Иванова»");
  ASSERT_TRUE(RequestKeyMediaForCert(Lower(Serial(1)), message, providers_));
  EXPECT_EQ(person.messages, (std::vector<std::string>(2, "Вставьте носитель «Иванова»")));
  EXPECT_EQ(Installed(), (std::map<std::string, std::string>{{Serial(1), "\\\\.\\FAT12_B\\keys\\key2.000"}}));
  EXPECT_FALSE(RequestKeyMediaForCert(Serial(0), message, providers_));  // cancelled
}

TEST_F(KeyMediaTest, OtherCodePagesUseTheSystemMessageBoxAndNoDesktopAnswersCancel) {
  StartupValues v = BasicStartupValues(dir_.path());
  v.IsCP1251 = false;
  SetStartupValues(v);
  {
    test::ScriptedPrompt person;
    person.confirm_answers.push_back({true, Insert({0})});
    ASSERT_TRUE(RequestKeyMedia(Task(kTaskDetachedSign, Serial(0)), providers_));
    EXPECT_EQ(person.asked, (std::vector<std::string>{std::string("box:") + kKeyMediaCaption}));
    // Still Russian, with the message box's own button named.
    EXPECT_NE(person.messages[0].find("Нажмите кнопку \"Ok\" для автоматического"), std::string::npos);
  }
  // No desktop prompt installed: Cancel at once, and the log says why.
  EXPECT_FALSE(RequestKeyMedia(Task(kTaskDetachedSign, Serial(1)), providers_));
  EXPECT_FALSE(RequestKeyMediaForCert(Serial(1), "x", providers_));
  EXPECT_EQ(Installed().size(), 1u);
  const std::string line = "EVENT Нет рабочего стола пользователя: запрос ключевого носителя отменён, SN: ";
  EXPECT_NE(Log().find(AnsiFromUtf8(line) + Serial(1) + "\r\n"), std::string::npos) << Log();
}

}  // namespace
}  // namespace zuntar
