// A real browser in front of the real plugin with its default rules: a page
// of the listed site lists the user's certificates and signs, a page of
// another site is refused, both through the browser's CORS preflight; and a
// page whose address counts as public reaches the plugin only once the
// browser lets it reach local addresses.
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "core/base64.h"
#include "crypto/cert_identity.h"
#include "headless_chromium.h"
#include "page_server.h"
#include "platform/file_io.h"
#include "plugin_sandbox.h"
#include "support/http_client.h"
#include "support/msg_fixture.h"

namespace zuntar {
namespace {

using test::Cp1251;
using test::HeadlessChromium;
using test::PluginSandbox;

const char kEdo[] = "https://edo.example.ru";
const char kEvil[] = "https://evil.example";

// Runs in the page: the plugin's status code and reply text, or why the
// browser gave none. The JSON content type makes the browser send its
// preflight first, as the pages of the document-exchange system do.
std::string PageCall(int port, const std::string& method, const std::string& command, const std::string& body = "") {
  return "(async () => { try {"
         " const r = await fetch('http://127.0.0.1:" +
         std::to_string(port) + "/MERVO/" + command + "', {method: '" + method +
         "', headers: {'Content-Type': 'application/json'}" + (body.empty() ? "" : ", body: '" + body + "'") +
         "});"
         " return r.status + '\\n' + await r.text();"
         " } catch (e) { return 'failed: ' + e; } })()";
}

std::string Refusal(const std::string& origin) {
  return "403\n{\r\n\"Status\": false,\r\n\"Data\": null,\r\n\"Errors\": [\"Сайт " + origin +
         " не допущен к ключам\"]\r\n}";
}

// The plugin with a test PKI and a database, its configuration otherwise
// the default one.
class BrowserOrigins : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FileExists(test::kChromium)) << "scripts/install-deps.sh installs chromium";
    box_.RegisterProvider();
    std::string out;
    ASSERT_EQ(box_.CertTool("make-test-pki --out " + box_.root() + "pki", &out), 0) << out;
    serial_ = CertSerialHex(DecodeCertificate(ReadFileToString(box_.root() + "pki/ivanov.cer")));
    ASSERT_EQ(box_.Run({"-CREATEDB"}, nullptr, &out), 0) << out;
    port_ = test::FreePort();
  }
  void TearDown() override {
    if (plugin_) {
      EXPECT_EQ(plugin_->Terminate(), 0);
    }
  }

  void Start(const std::string& config) {
    WriteStringToFile("HTTPPORT=" + std::to_string(port_) + "\r\nLOG_LEVEL=2\r\n" + config, box_.config_file());
    plugin_.emplace(box_.Start({}));
    ASSERT_TRUE(box_.WaitForLog(Cp1251("Плагин запущен !"))) << box_.Log();
  }
  std::string Sign(const Bytes& data) const {
    return PageCall(port_, "POST", "GETSIGN_SYNC?CertSN=" + serial_, Base64Encode(data));
  }
  // A signature a page got, checked by openssl against the CA.
  bool SignatureVerifies(const std::string& reply, const Bytes& data) const {
    const std::string head = "200\n{\r\n\"Status\": true,\r\n\"Data\": \"";
    if (reply.rfind(head, 0) != 0) return false;
    const Bytes signature = Base64Decode(reply.substr(head.size(), reply.find('"', head.size()) - head.size()));
    const std::string dir = box_.root();
    test::WritePem(dir + "ca.pem", ReadFileToString(dir + "pki/ca.cer"));
    test::WriteFile(dir + "doc.bin", data);
    test::WriteFile(dir + "doc.p7s", signature);
    return test::Run("openssl cms -engine gost -verify -binary -inform DER -in " + dir + "doc.p7s -content " + dir +
                     "doc.bin -CAfile " + dir + "ca.pem -out /dev/null") == 0;
  }

  PluginSandbox box_;
  std::optional<test::PluginProcess> plugin_;
  std::string serial_;
  int port_ = 0;
};

TEST_F(BrowserOrigins, APageOfTheListedSiteSignsAndAPageOfAnotherSiteIsRefused) {
  Start("ALLOWEDORIGINS=" + std::string(kEdo) + "\r\n");
  HeadlessChromium browser;
  for (const char* site : {kEdo, kEvil}) {
    browser.ServePage(std::string(site) + "/", "<!doctype html><title>documents</title><p>documents</p>");
    // Public sites reach this machine only once the person lets them, in
    // the browser's own question; the plugin's rules come on top.
    browser.AllowLoopback(site);
  }

  browser.Navigate(std::string(kEdo) + "/");
  ASSERT_EQ(browser.Evaluate("Promise.resolve(location.origin)"), kEdo);
  const std::string ping = browser.Evaluate(PageCall(port_, "GET", "PING"));
  EXPECT_EQ(ping.rfind("200\n{\r\n\"Status\": true,", 0), 0u) << ping << browser.Log();
  const std::string certificates = browser.Evaluate(PageCall(port_, "GET", "ENUMCERTS"));
  EXPECT_EQ(certificates.rfind("200\n", 0), 0u) << certificates;
  EXPECT_NE(certificates.find("{\"Serial\":\"" + serial_ + "\""), std::string::npos) << certificates;
  const Bytes data = "a document of the exchange system";
  const std::string signed_reply = browser.Evaluate(Sign(data));
  EXPECT_TRUE(SignatureVerifies(signed_reply, data)) << signed_reply;

  browser.Navigate(std::string(kEvil) + "/");
  EXPECT_EQ(browser.Evaluate(PageCall(port_, "GET", "ENUMCERTS")), Refusal(kEvil));
  EXPECT_EQ(browser.Evaluate(Sign(data)), Refusal(kEvil));
  EXPECT_EQ(browser.Evaluate(PageCall(port_, "GET", "PING")), ping);
  EXPECT_EQ(box_.CountInLog(Cp1251("Сайт https://evil.example не допущен к ключам (нет рабочего стола")), 2)
      << box_.Log();
}

TEST_F(BrowserOrigins, APublicPageSignsOnlyOnceTheBrowserLetsItReachThisMachine) {
  test::PageServer site;
  site.Serve("/documents.html", "<!doctype html><title>documents</title><p>documents</p>");
  Start("ALLOWEDORIGINS=" + site.origin() + "\r\n");
  const Bytes data = "a document signed from the internet";

  // The browser takes the page's server for one on the internet. Nobody
  // answers its question whether the site may reach local addresses, so
  // every call fails in the browser, the open ones too, and none arrives.
  for (const bool allowed : {false, true}) {
    SCOPED_TRACE(allowed ? "allowed" : "not allowed");
    HeadlessChromium browser({"--ip-address-space-overrides=127.0.0.1:" + std::to_string(site.port()) + "=public"});
    // What the managed policy LocalNetworkAccessAllowedForUrls does for
    // the site, and the person's "allow" in the browser's question.
    if (allowed) browser.AllowLoopback(site.origin());
    browser.Navigate(site.origin() + "/documents.html");
    ASSERT_EQ(browser.Evaluate("Promise.resolve(location.origin)"), site.origin());
    if (!allowed) {
      EXPECT_EQ(browser.Evaluate(PageCall(port_, "GET", "PING")), "failed: TypeError: Failed to fetch")
          << browser.Log();
      EXPECT_EQ(browser.Evaluate(Sign(data)), "failed: TypeError: Failed to fetch");
      EXPECT_EQ(box_.CountInLog("<<Request: \"/MERVO/"), 0) << box_.Log();
      continue;
    }
    const std::string certificates = browser.Evaluate(PageCall(port_, "GET", "ENUMCERTS"));
    EXPECT_NE(certificates.find("{\"Serial\":\"" + serial_ + "\""), std::string::npos)
        << certificates << browser.Log();
    const std::string signed_reply = browser.Evaluate(Sign(data));
    EXPECT_TRUE(SignatureVerifies(signed_reply, data)) << signed_reply;
  }
}

}  // namespace
}  // namespace zuntar
