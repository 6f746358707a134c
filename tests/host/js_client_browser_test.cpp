// The JavaScript client (clients/js) in Debian's chromium and firefox-esr,
// headless, in front of the real plugin: a page of the admitted site loads
// the module, finds the plugin and the person's certificate, signs queued
// and at once, detached and attached, signs a hash value and decrypts; a
// page of another origin is refused and shows why. The browsers are driven
// by clients/js/test/browser/run.mjs (puppeteer-core); openssl checks what
// the pages got. Screenshots and the pages' results are kept in
// <build>/artifacts/js-client/.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>

#include "core/base64.h"
#include "crypto/cert_identity.h"
#include "headless_chromium.h"
#include "openssl_check.h"
#include "platform/file_io.h"
#include "plugin_sandbox.h"
#include "support/msg_fixture.h"

namespace zuntar {
namespace {

using test::Cp1251;
using test::JsonString;
using test::PluginSandbox;

const std::string kClientDir = ZUNTAR_JS_CLIENT_DIR;

std::string ArtifactsDir() {
  const char* build = std::getenv("ZUNTAR_TEST_BINARY_DIR");
  const std::string dir = std::string(build != nullptr ? build : ".") + "/artifacts/js-client/";
  std::filesystem::create_directories(dir);
  return dir;
}

class JsClientInBrowser : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FileExists(ZUNTAR_NODE)) << "scripts/install-deps.sh installs node";
    ASSERT_TRUE(FileExists(kClientDir + "/node_modules/puppeteer-core/package.json"))
        << "scripts/install-deps.sh installs the npm packages of clients/js (npm ci)";
    ASSERT_TRUE(FileExists(GetParam() == "chromium" ? "/usr/bin/chromium" : "/usr/bin/firefox-esr"))
        << "scripts/install-deps.sh installs " << GetParam();
    box_.RegisterProvider();
    std::string out;
    ASSERT_EQ(box_.CertTool("make-test-pki --out " + dir() + "pki", &out), 0) << out;
    ivanov_ = ReadFileToString(dir() + "pki/ivanov.cer");
    openssl_.emplace(dir());
    ASSERT_EQ(box_.Run({"-CREATEDB"}, nullptr, &out), 0) << out;
    page_port_ = test::FreePort();
    port_ = test::FreePort();
    // Origins match exactly: the pages' server is admitted by its address,
    // not by the name localhost.
    WriteStringToFile("HTTPPORT=" + std::to_string(port_) + "\r\nLOG_LEVEL=2\r\nALLOWEDORIGINS=http://127.0.0.1:" +
                          std::to_string(page_port_) + "\r\n",
                      box_.config_file());
  }

  std::string dir() const { return box_.root(); }

  int Requests(const std::string& command) const { return box_.CountInLog("<<Request: \"/MERVO/" + command + "/"); }

  PluginSandbox box_;
  std::optional<test::OpensslCheck> openssl_;
  Bytes ivanov_;
  int port_ = 0;
  int page_port_ = 0;
};

TEST_P(JsClientInBrowser, APageSignsSignsAHashDecryptsAndAnotherOriginIsRefused) {
  const std::string browser = GetParam();
  test::PluginProcess plugin = box_.Start({});
  ASSERT_TRUE(box_.WaitForLog(Cp1251("Плагин запущен !"))) << box_.Log();

  // Text with line breaks, signed as its UTF-8 bytes.
  const Bytes text = "Акт сверки взаиморасчётов № 17\r\nот 1 декабря 2026 г.\n";
  const Bytes secret = "Ответ фонда: принято";
  const Bytes digest = openssl_->Digest(text);
  const Bytes message = openssl_->EncryptForIvanov(secret);
  ASSERT_EQ(digest.size(), 32u);
  ASSERT_FALSE(message.empty());
  WriteStringToFile("{\"plugin\":" + JsonString("http://localhost:" + std::to_string(port_)) +
                        ",\"person\":" + JsonString("Иванов Иван Иванович") + ",\"text\":" + JsonString(text) +
                        ",\"hash\":" + JsonString(Base64Encode(digest)) +
                        ",\"message\":" + JsonString(Base64Encode(message)) + "}",
                    dir() + "params.json");

  const std::string out = ArtifactsDir();
  const std::string log = dir() + "run.log";
  std::filesystem::remove(out + browser + ".json");
  const int code = test::Run("(timeout 300 " + std::string(ZUNTAR_NODE) + " " + kClientDir +
                             "/test/browser/run.mjs --browser " + browser + " --port " + std::to_string(page_port_) +
                             " --params " + dir() + "params.json --out " + out + " >" + log + " 2>&1)");
  ASSERT_EQ(code, 0) << ReadFileToString(log);
  const std::string results = ReadFileToString(out + browser + ".json");
  const auto got = [&](const std::string& name) { return test::JsonStringMember(results, name).value_or(""); };
  SCOPED_TRACE(results);

  EXPECT_EQ(got("admitted.version"), ZUNTAR_PLUGIN_VERSION);
  EXPECT_EQ(got("admitted.serial"), CertSerialHex(DecodeCertificate(ivanov_)));
  EXPECT_EQ(got("admitted.validity"), "dates");
  const auto bytes = [&](const std::string& name) { return Base64Decode(got(name)); };
  EXPECT_TRUE(openssl_->Verifies(bytes("admitted.detachedQueued"), text));
  EXPECT_EQ(got("admitted.progress").rfind("queued,", 0), 0u);
  EXPECT_TRUE(got("admitted.progress").ends_with(",done"));
  EXPECT_EQ(openssl_->VerifiedContent(bytes("admitted.attachedQueued")), text);
  EXPECT_TRUE(openssl_->Verifies(bytes("admitted.detachedSync"), text));
  EXPECT_EQ(openssl_->VerifiedContent(bytes("admitted.attachedSync")), text);
  EXPECT_TRUE(openssl_->HashSignatureVerifies(bytes("admitted.hashSignature"), digest));
  EXPECT_EQ(got("admitted.decrypted"), secret);
  EXPECT_EQ(got("admitted.unknownCertificateError"),
            "not-found 200: сертификат с отпечатком: " + std::string(40, '0') + " не найден");

  const std::string refusal = "Сайт http://localhost:" + std::to_string(page_port_) + " не допущен к ключам";
  EXPECT_EQ(got("refused.version"), ZUNTAR_PLUGIN_VERSION);
  EXPECT_EQ(got("refused.certificatesError"), "refused-origin 403: " + refusal);
  EXPECT_EQ(got("refused.signatureError"), "refused-origin 403: " + refusal);
  EXPECT_EQ(got("refused.shown"), refusal);

  // Every call is one request, the refused page's included: the client
  // causes no CORS preflight.
  const std::map<std::string, int> requests = {{"ENUMCERTS", 2},        {"GETSIGN", 1},   {"GETSIGN_ATT", 1},
                                               {"GETSIGN_SYNC", 2},     {"SIGN_HASH", 1}, {"DECRYPT", 1},
                                               {"GETSIGN_ATT_SYNC", 1}};
  for (const auto& [command, count] : requests) EXPECT_EQ(Requests(command), count) << command << "\n" << box_.Log();
  EXPECT_EQ(plugin.Terminate(), 0);
}

INSTANTIATE_TEST_SUITE_P(Browsers, JsClientInBrowser, ::testing::Values("chromium", "firefox"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace zuntar
