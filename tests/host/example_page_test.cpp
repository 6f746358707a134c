// The example page of the documentation, in a real browser in front of the
// real plugin, calling it through the JavaScript client: it lists the
// certificates, a file is chosen in its file field, Sign queues the task
// and polls for the result, and the signature it shows verifies against the
// file. A screenshot of the page after the run is kept in the build folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "core/base64.h"
#include "crypto/cert_identity.h"
#include "headless_chromium.h"
#include "platform/file_io.h"
#include "plugin_sandbox.h"
#include "support/http_client.h"
#include "support/msg_fixture.h"

namespace zuntar {
namespace {

using test::Cp1251;
using test::HeadlessChromium;
using test::PluginSandbox;

const std::string kSite = "https://edo.example.ru";
const std::string kOtherSite = "https://other.example";

// Waits in the page until the status line has settled (no longer a step in
// progress); the status text.
std::string SettledStatus(HeadlessChromium& browser, const std::string& settled_when) {
  return browser.Evaluate(
      "new Promise((resolve) => { const started = Date.now(); const t = setInterval(() => {"
      " const s = document.getElementById('status');"
      " if (" + settled_when + " || Date.now() - started > 20000) { clearInterval(t); resolve(s.className + ': ' +"
      " s.textContent); } }, 100); })");
}

int NodeId(const std::string& reply) {
  std::smatch m;
  const std::regex node("\"nodeId\":([0-9]+)");
  return std::regex_search(reply, m, node) ? std::stoi(m[1]) : 0;
}

TEST(ExamplePage, SignsTheChosenFileWithTheChosenCertificate) {
  ASSERT_TRUE(FileExists(test::kChromium)) << "scripts/install-deps.sh installs chromium";
  PluginSandbox box;
  box.RegisterProvider();
  std::string out;
  ASSERT_EQ(box.CertTool("make-test-pki --out " + box.root() + "pki", &out), 0) << out;
  const std::string thumbprint = CertThumbprintHex(DecodeCertificate(ReadFileToString(box.root() + "pki/petrov.cer")));
  ASSERT_EQ(box.Run({"-CREATEDB"}, nullptr, &out), 0) << out;
  const int port = test::FreePort();
  WriteStringToFile("HTTPPORT=" + std::to_string(port) + "\r\nALLOWEDORIGINS=" + kSite + "\r\n", box.config_file());
  test::PluginProcess plugin = box.Start({});
  ASSERT_TRUE(box.WaitForLog(Cp1251("Плагин запущен !"))) << box.Log();

  HeadlessChromium browser;
  // The page's own query names the plugin's port.
  const std::string query = "/sign-file.html?plugin=http://127.0.0.1:" + std::to_string(port);
  const std::string page = kSite + query;
  for (const std::string& site : {kSite, kOtherSite}) {
    browser.ServePage(site + query, ReadFileToString(ZUNTAR_EXAMPLE_PAGE));
    // The page imports the JavaScript client from beside it, as it stands
    // in the source tree and the package's documents.
    browser.ServePage(site + "/clients/js/zuntar-mervo.js", ReadFileToString(ZUNTAR_JS_CLIENT_DIR "/zuntar-mervo.js"),
                      "text/javascript;charset=utf-8");
    browser.AllowLoopback(site);
  }
  // A site the administrator did not list is told so.
  browser.Navigate(kOtherSite + query);
  EXPECT_EQ(SettledStatus(browser, "s.className"),
            "error: Сайт https://other.example не допущен к ключам. This site (https://other.example) may not use "
            "your keys: ask your administrator to admit it.");
  browser.Navigate(page);
  const std::string ready = SettledStatus(browser, "!document.getElementById('sign').disabled || s.className");
  ASSERT_NE(ready.find(": Plugin " ZUNTAR_PLUGIN_VERSION " is ready."), std::string::npos) << ready << browser.Log();

  const std::string file = box.root() + "contract.txt";
  const Bytes data = "The contract, signed from the example page.\n";
  test::WriteFile(file, data);
  const int root = NodeId(browser.Call("DOM.getDocument"));
  const int field = NodeId(browser.Call("DOM.querySelector", "{\"nodeId\":" + std::to_string(root) +
                                                                  ",\"selector\":\"#file\"}"));
  ASSERT_GT(field, 0);
  browser.Call("DOM.setFileInputFiles",
               "{\"nodeId\":" + std::to_string(field) + ",\"files\":[" + test::JsonString(file) + "]}");
  const std::string chosen =
      browser.Evaluate("Promise.resolve(document.getElementById('cert').value = '" + thumbprint + "')");
  ASSERT_EQ(browser.Evaluate("Promise.resolve(document.getElementById('cert').value)"), chosen)
      << "the page does not list the certificate";
  browser.Evaluate("Promise.resolve(document.getElementById('sign').click())");
  const std::string done = SettledStatus(browser, "s.className");
  ASSERT_EQ(done.rfind("done: Signed: contract.txt", 0), 0u) << done << box.Log();

  const std::string signature = browser.Evaluate("Promise.resolve(document.getElementById('signature').value)");
  const std::string dir = box.root();
  test::WritePem(dir + "ca.pem", ReadFileToString(dir + "pki/ca.cer"));
  test::WriteFile(dir + "contract.sig", Base64Decode(signature));
  EXPECT_EQ(test::Run("openssl cms -engine gost -verify -binary -inform DER -in " + dir + "contract.sig -content " +
                      file + " -CAfile " + dir + "ca.pem -out /dev/null"),
            0);

  if (const char* build = std::getenv("ZUNTAR_TEST_BINARY_DIR")) {
    const auto png = test::JsonStringMember(browser.Call("Page.captureScreenshot"), "data");
    if (png) test::WriteFile(std::string(build) + "/example-sign-file.png", Base64Decode(*png));
  }
  EXPECT_EQ(plugin.Terminate(), 0);
}

}  // namespace
}  // namespace zuntar
