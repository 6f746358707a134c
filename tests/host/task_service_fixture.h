// The signing service as a page meets it: the real executable in a sandbox
// with a test PKI and a database, called over HTTP, its signatures checked
// by openssl. Shared by the end-to-end suites of the task service.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <set>
#include <thread>

#include "core/base64.h"
#include "core/settings.h"
#include "crypto/cert_identity.h"
#include "platform/capi/base/ossl.h"
#include "platform/file_io.h"
#include "platform/user_account.h"
#include "plugin_sandbox.h"
#include "support/fund_response.h"
#include "support/http_client.h"
#include "support/msg_fixture.h"
#include "tasks/firebird_root.h"
#include "tasks/task_dm.h"

namespace zuntar {
namespace {

using namespace std::chrono_literals;
using test::HttpReply;
using test::PluginProcess;
using test::PluginSandbox;

const std::string kEnvelopeHead = "{\r\n\"Status\": true,\r\n\"Data\": \"";
const std::string kEnvelopeTail = "\",\r\n\"Errors\": []\r\n}";

// The Data text of a success envelope; empty for anything else.
inline std::string DataText(const std::string& body) {
  if (body.rfind(kEnvelopeHead, 0) != 0 || body.size() < kEnvelopeHead.size() + kEnvelopeTail.size() ||
      body.compare(body.size() - kEnvelopeTail.size(), kEnvelopeTail.size(), kEnvelopeTail) != 0)
    return {};
  return body.substr(kEnvelopeHead.size(), body.size() - kEnvelopeHead.size() - kEnvelopeTail.size());
}

inline std::string ErrorEnvelope(const std::string& utf8) {
  return "{\r\n\"Status\": false,\r\n\"Data\": null,\r\n\"Errors\": [\"" + utf8 + "\"]\r\n}";
}

// A certificate of the test PKI.
struct Person {
  Bytes der;
  std::string serial, thumbprint, pem, key_pem;
};

class TaskService : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.RegisterProvider();
    std::string out;
    ASSERT_EQ(box_.CertTool("make-test-pki --out " + files(), &out), 0) << out;
    test::WritePem(files() + "/ca.pem", ReadFileToString(files() + "/ca.cer"));
    for (const char* name : {"ivanov", "petrov", "media"}) {
      Person& p = people_[name];
      p.der = ReadFileToString(files() + "/" + name + ".cer");
      const PCCERT_CONTEXT cert = DecodeCertificate(p.der);
      ASSERT_TRUE(cert);
      p.serial = CertSerialHex(cert);
      p.thumbprint = ThumbprintHexOf(p.der);
      p.pem = files() + "/" + name + ".pem";
      p.key_pem = files() + "/" + name + ".key.pem";
      test::WritePem(p.pem, p.der);
    }
  }

  void TearDown() override {
    for (auto& [box, plugin] : running_) {
      if (plugin && plugin->Running()) {
        EXPECT_EQ(plugin->Terminate(), 0) << box->Log();
      }
    }
  }

  static std::string ThumbprintHexOf(const Bytes& der) {
    unsigned char md[20];
    unsigned int len = 0;
    EVP_Digest(der.data(), der.size(), md, &len, EVP_sha1(), nullptr);
    return BytesToHex(Bytes(reinterpret_cast<char*>(md), len));
  }

  std::string files() const { return box_.root() + "/files"; }

  // Creates the database (unless told not to), writes the configuration
  // and starts the plugin; in service mode when the unit names this user.
  PluginProcess& Launch(PluginSandbox& box, int& port, bool service_mode, const std::string& extra_config = "",
                        bool create_database = true, const std::vector<std::string>& args = {}) {
    port = test::FreePort();
    std::string err;
    if (create_database) {
      EXPECT_EQ(box.Run({"-CREATEDB"}, nullptr, &err), 0) << err;
    }
    WriteStringToFile("HTTPPORT=" + std::to_string(port) + "\r\nLOG_LEVEL=3\r\n" + extra_config, box.config_file());
    WriteStringToFile(service_mode ? "[Service]\nUser=" + ProcessUserName() + "\n" : "[Service]\nUser=nobody-here\n",
                      box.unit_file());
    auto& slot = running_.emplace_back(&box, std::make_unique<PluginProcess>(box.Start(args)));
    // Listening comes last in Start: the processing thread runs by then.
    for (int i = 0; i < 1000 && slot.second->Running(); ++i) {
      const int fd = test::Connect(port);
      if (fd >= 0) {
        ::close(fd);
        break;
      }
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(slot.second->Running()) << box.Log();
    return *slot.second;
  }
  PluginProcess& Launch(bool service_mode = false, const std::string& extra_config = "") {
    return Launch(box_, port_, service_mode, extra_config);
  }

  HttpReply Post(const std::string& target, const Bytes& data, int port = 0) {
    return test::Request(port != 0 ? port : port_, "POST", target, Base64Encode(data));
  }
  HttpReply Get(const std::string& target, int port = 0) {
    return test::Request(port != 0 ? port : port_, "GET", target);
  }

  // The id a queued command answers with.
  std::string Queue(const std::string& target, const Bytes& data, int port = 0) {
    const HttpReply reply = Post(target, data, port);
    const std::string id = DataText(reply.body);
    EXPECT_FALSE(id.empty()) << target << ": " << reply.body << RunningLogs();
    return id;
  }

  // The end of every running plugin's log, for a failure's message.
  std::string RunningLogs() const {
    std::string logs;
    for (const auto& [box, plugin] : running_) {
      const std::string log = box->Log();
      logs += "\n--- log of " + box->root() + ":\n" + log.substr(log.size() > 6000 ? log.size() - 6000 : 0);
    }
    return logs;
  }

  // GETRESULT polled every few milliseconds until the task is no longer in
  // progress.
  HttpReply Result(const std::string& id, int port = 0) {
    HttpReply reply;
    const auto until = std::chrono::steady_clock::now() + 60s;
    do {
      reply = Get("/MERVO/GETRESULT?Id=" + id, port);
      if (reply.status != 201) break;
      std::this_thread::sleep_for(5ms);
    } while (std::chrono::steady_clock::now() < until);
    return reply;
  }
  Bytes ResultBytes(const std::string& id, int port = 0) {
    const HttpReply reply = Result(id, port);
    EXPECT_EQ(reply.status, 200) << reply.body;
    return Base64Decode(DataText(reply.body));
  }

  bool OpensslVerifies(const Bytes& signature, const Bytes& data, bool detached) {
    const std::string dir = box_.root();
    test::WriteFile(dir + "/sig.p7s", signature);
    test::WriteFile(dir + "/data.bin", data);
    std::remove((dir + "/out.bin").c_str());
    const int rc = test::Run("openssl cms -engine gost -verify -binary -inform DER -in " + dir + "/sig.p7s" +
                             (detached ? " -content " + dir + "/data.bin" : "") + " -CAfile " + files() +
                             "/ca.pem -out " + dir + "/out.bin");
    return rc == 0 && (detached || test::ReadFile(dir + "/out.bin") == data);
  }

  Bytes OpensslEncrypts(const Person& to, const Bytes& plain) {
    const std::string dir = box_.root();
    test::WriteFile(dir + "/plain.bin", plain);
    EXPECT_EQ(test::Run("openssl cms -engine gost -encrypt -gost89 -binary -outform DER -in " + dir + "/plain.bin" +
                        " -out " + dir + "/env.p7m " + to.pem),
              0);
    return test::ReadFile(dir + "/env.p7m");
  }

  // The raw signature of a hash value, in the provider's byte order, checked
  // by OpenSSL once reversed into the standard one.
  static bool OpensslVerifiesHash(const Person& p, const Bytes& digest, const Bytes& provider_signature) {
    ossl::EnsureGostEngine();
    const unsigned char* in = reinterpret_cast<const unsigned char*>(p.der.data());
    X509* x509 = d2i_X509(nullptr, &in, static_cast<long>(p.der.size()));
    EVP_PKEY* key = X509_get_pubkey(x509);
    const Bytes standard(provider_signature.rbegin(), provider_signature.rend());
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    const bool good = EVP_PKEY_verify_init(ctx) == 1 &&
                      EVP_PKEY_verify(ctx, reinterpret_cast<const unsigned char*>(standard.data()), standard.size(),
                                      reinterpret_cast<const unsigned char*>(digest.data()), digest.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
    X509_free(x509);
    return good;
  }

  static Bytes Streebog256(const Bytes& data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), md, &len, ossl::DigestByName("md_gost12_256"), nullptr);
    return Bytes(reinterpret_cast<char*>(md), len);
  }

  static Bytes Data(size_t size, unsigned seed = 1) {
    Bytes data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(((i + seed) * 2654435761u) >> 13);
    return data;
  }

  // How often the processing threads of these logs ran each task.
  static std::map<std::string, int> Runs(const std::vector<const PluginSandbox*>& boxes) {
    std::map<std::string, int> runs;
    const std::string mark = test::Cp1251("Криптозадание ");
    for (const PluginSandbox* box : boxes) {
      const std::string log = box->Log();
      for (size_t at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1)) {
        const size_t start = at + mark.size();
        ++runs[log.substr(start, log.find(' ', start) - start)];
      }
    }
    return runs;
  }

  // A connection of this test to the plugin's database, which the plugin
  // may have open.
  std::unique_ptr<TDM> Database(const PluginSandbox& box) {
    UseEngineOfTheTest(box);
    return CreateTaskDM(DefaultSettings(box.exe_dir()));
  }
  // The engine root of the plugin of `box` for this test too (the two
  // processes must share the engine's lock files, its folder "lock").
  static void UseEngineOfTheTest(const PluginSandbox& box) {
    ::setenv("ZUNTAR_PLATFORM_ROOT", box.root().c_str(), 1);
    PrepareFirebirdClient();
  }

  // Another instance's folder, kept as long as the plugins the fixture
  // started: TearDown still reads the logs of those left running.
  PluginSandbox& SecondBox() { return second_box_.emplace(); }

  PluginSandbox box_;
  int port_ = 0;
  std::map<std::string, Person> people_;
  std::optional<PluginSandbox> second_box_;
  std::vector<std::pair<PluginSandbox*, std::unique_ptr<PluginProcess>>> running_;
};

}  // namespace
}  // namespace zuntar
