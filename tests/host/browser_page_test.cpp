// A real page of another site in a real browser against the real plugin:
// the page comes from a web server of its own on loopback, finds the
// person's certificate, signs (queued and at once), signs a hash value,
// decrypts and shows an error reply; openssl checks what the page got, and
// a screenshot of the page is kept under <build>/artifacts/browser/.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "core/base64.h"
#include "crypto/cert_identity.h"
#include "headless_chromium.h"
#include "openssl_check.h"
#include "page_server.h"
#include "platform/file_io.h"
#include "plugin_sandbox.h"
#include "support/msg_fixture.h"

namespace zuntar {
namespace {

using test::Cp1251;
using test::HeadlessChromium;
using test::JsonString;
using test::JsonStringMember;
using test::PageServer;
using test::PluginSandbox;

std::string ArtifactsDir() {
  const char* build = std::getenv("ZUNTAR_TEST_BINARY_DIR");
  const std::string dir = std::string(build != nullptr ? build : ".") + "/artifacts/browser/";
  std::filesystem::create_directories(dir);
  return dir;
}

int LogCount(const PluginSandbox& box, const std::string& request) {
  return box.CountInLog("<<Request: \"/MERVO/" + request);
}

class BrowserPage : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FileExists(test::kChromium)) << "scripts/install-deps.sh installs chromium";
    box_.RegisterProvider();
    std::string out;
    ASSERT_EQ(box_.CertTool("make-test-pki --out " + dir() + "pki", &out), 0) << out;
    ivanov_ = ReadFileToString(dir() + "pki/ivanov.cer");
    openssl_.emplace(dir());
    ASSERT_EQ(box_.Run({"-CREATEDB"}, nullptr, &out), 0) << out;
    port_ = test::FreePort();
    // The site of the page is the one the administrator lists.
    WriteStringToFile("HTTPPORT=" + std::to_string(port_) + "\r\nLOG_LEVEL=2\r\nALLOWEDORIGINS=" + site_.origin() +
                          "\r\n",
                      box_.config_file());
  }

  std::string dir() const { return box_.root(); }

  PluginSandbox box_;
  PageServer site_;
  std::optional<test::OpensslCheck> openssl_;
  Bytes ivanov_;
  int port_ = 0;
};

TEST_F(BrowserPage, APageOfAnotherSiteSignsDecryptsAndShowsAnErrorReply) {
  test::PluginProcess plugin = box_.Start({});
  ASSERT_TRUE(box_.WaitForLog(Cp1251("Плагин запущен !"))) << box_.Log();

  const Bytes document = "Акт сверки взаиморасчётов № 17";
  const Bytes secret = "Ответ фонда: принято";
  const Bytes digest = openssl_->Digest(document);
  const Bytes message = openssl_->EncryptForIvanov(secret);
  ASSERT_EQ(digest.size(), 32u);
  ASSERT_FALSE(message.empty());

  site_.Serve("/documents.html", ReadFileToString(ZUNTAR_SIGNING_PAGE));
  HeadlessChromium browser;
  browser.Navigate(site_.origin() + "/documents.html");
  EXPECT_EQ(site_.Requests("/documents.html"), 1);
  ASSERT_EQ(browser.Evaluate("Promise.resolve(location.origin)"), site_.origin());

  const std::string params = "{port:" + std::to_string(port_) + ",person:" + JsonString("Иванов Иван Иванович") +
                             ",document:" + JsonString(Base64Encode(document)) +
                             ",hash:" + JsonString(Base64Encode(digest)) +
                             ",message:" + JsonString(Base64Encode(message)) + ",unknownId:'0000'}";
  // Two queued tasks wait for the processing thread: more time than one
  // call of the browser takes, on a busy machine.
  const std::string got = browser.Evaluate("run(" + params + ")", std::chrono::seconds(180));
  ASSERT_EQ(JsonStringMember(got, "failure"), std::nullopt) << got << browser.Log();

  EXPECT_EQ(JsonStringMember(got, "serial"), CertSerialHex(DecodeCertificate(ivanov_)));
  EXPECT_TRUE(openssl_->Verifies(Base64Decode(JsonStringMember(got, "signature").value_or("")), document)) << got;
  EXPECT_TRUE(openssl_->Verifies(Base64Decode(JsonStringMember(got, "syncSignature").value_or("")), document)) << got;
  EXPECT_TRUE(openssl_->HashSignatureVerifies(Base64Decode(JsonStringMember(got, "hashSignature").value_or("")),
                                              digest))
      << got;
  EXPECT_EQ(Base64Decode(JsonStringMember(got, "decrypted").value_or("")), secret);
  EXPECT_EQ(browser.Evaluate("Promise.resolve(document.getElementById('decrypted').textContent)"), secret);
  EXPECT_EQ(browser.Evaluate("Promise.resolve(document.getElementById('error').textContent)"),
            "Ошибка: Криптозадание с Id=0000 не найдено");

  // The JSON content type made the browser ask first: the request line
  // appears twice for those commands, once for the others.
  EXPECT_EQ(LogCount(box_, "ENUMCERTS/"), 2) << box_.Log();
  EXPECT_EQ(LogCount(box_, "GETSIGN_SYNC/"), 2);
  EXPECT_EQ(LogCount(box_, "GETSIGN/"), 1);
  EXPECT_EQ(LogCount(box_, "SIGN_HASH_SYNC/"), 1);

  browser.Screenshot(ArtifactsDir() + "signing_page.png");
  EXPECT_EQ(plugin.Terminate(), 0);
}

}  // namespace
}  // namespace zuntar
