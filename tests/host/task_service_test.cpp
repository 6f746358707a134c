// The signing service end to end: the real executable with a test PKI and
// an embedded database, called over HTTP. Every signature is checked by
// openssl, every decryption against what openssl encrypted; the service's
// signals stop, pause and continue it with tasks queued, and two instances
// share one database.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <set>
#include <thread>

#include "core/base64.h"
#include "core/settings.h"
#include "crypto/cert_identity.h"
#include "platform/crypto/base/ossl.h"
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
std::string DataText(const std::string& body) {
  if (body.rfind(kEnvelopeHead, 0) != 0 || body.size() < kEnvelopeHead.size() + kEnvelopeTail.size() ||
      body.compare(body.size() - kEnvelopeTail.size(), kEnvelopeTail.size(), kEnvelopeTail) != 0)
    return {};
  return body.substr(kEnvelopeHead.size(), body.size() - kEnvelopeHead.size() - kEnvelopeTail.size());
}

std::string ErrorEnvelope(const std::string& utf8) {
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
    EXPECT_FALSE(id.empty()) << target << ": " << reply.body;
    return id;
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

  // A connection of this test to the plugin's database, through an engine
  // root of the test's own that lasts as long as the process.
  std::unique_ptr<TDM> Database(const PluginSandbox& box) {
    static const bool prepared = [] {
      static test::TempDir engine_root;
      ::setenv("ZUNTAR_PLATFORM_ROOT", engine_root.path().c_str(), 1);
      PrepareFirebirdClient();
      return true;
    }();
    (void)prepared;
    SetCurrentSettings(DefaultSettings(box.exe_dir()));
    return CreateTaskDM();
  }

  PluginSandbox box_;
  int port_ = 0;
  std::map<std::string, Person> people_;
  std::vector<std::pair<PluginSandbox*, std::unique_ptr<PluginProcess>>> running_;
};

TEST_F(TaskService, SignaturesHashSignaturesAndDecryptionsVerifyWithOpenssl) {
  Launch();
  const Person& ivanov = people_["ivanov"];
  const Person& petrov = people_["petrov"];
  const Bytes data = Data(4096), plain = Data(1000, 7), digest = Streebog256(data);
  const Bytes payload = "a payload of the fund";

  const std::string detached = Queue("/MERVO/GETSIGN?CertSN=" + ivanov.serial, data);
  const std::string attached = Queue("/MERVO/GETSIGN_ATT?CertThumb=" + petrov.thumbprint, data);
  const std::string hash = Queue("/MERVO/SIGN_HASH?CertSN=" + ivanov.serial, digest);
  const std::string decrypt = Queue("/MERVO/DECRYPT", OpensslEncrypts(petrov, plain));
  const std::string fund = Queue("/MERVO/DECRYPT_FSS_RESPONSE?CertSN=" + ivanov.serial,
                                 test::OpensslFundResponse(test::TempDir(), ivanov.pem, payload));
  const std::string xml = Queue("/MERVO/GET_XML_SIGN?CertSN=" + ivanov.serial, "<a/>");

  EXPECT_TRUE(OpensslVerifies(ResultBytes(detached), data, true));
  EXPECT_TRUE(OpensslVerifies(ResultBytes(attached), data, false));
  EXPECT_TRUE(OpensslVerifiesHash(ivanov, digest, ResultBytes(hash)));
  EXPECT_EQ(ResultBytes(decrypt), plain);
  EXPECT_EQ(ResultBytes(fund), payload);
  const HttpReply aborted = Result(xml);
  EXPECT_EQ(aborted.status, 500);
  EXPECT_EQ(aborted.body, ErrorEnvelope("Операция прервана"));

  // The same at once with _SYNC.
  EXPECT_TRUE(OpensslVerifies(Base64Decode(DataText(Post("/MERVO/GETSIGN_SYNC?CertSN=" + ivanov.serial, data).body)),
                              data, true));
  EXPECT_TRUE(OpensslVerifies(
      Base64Decode(DataText(Post("/MERVO/GETSIGN_ATT_SYNC?CertSN=" + petrov.serial, data).body)), data, false));
  EXPECT_TRUE(OpensslVerifiesHash(
      ivanov, digest, Base64Decode(DataText(Post("/MERVO/SIGN_HASH_SYNC?CertThumb=" + ivanov.thumbprint, digest).body))));
  EXPECT_EQ(Base64Decode(DataText(Post("/MERVO/DECRYPT_SYNC", OpensslEncrypts(ivanov, plain)).body)), plain);
}

TEST_F(TaskService, ParametersIdsAndTheRepliesPagesExpect) {
  Launch();
  const std::string serial = people_["ivanov"].serial;
  // An empty table lists nothing, successfully.
  EXPECT_EQ(Get("/MERVO/GETLOGINFO").body, "{\r\n\"Status\": true,\r\n\"Data\": null,\r\n\"Errors\": []\r\n}");

  // The id a page gives is stored without dashes and in lower case.
  const HttpReply given = Post("/MERVO/GETSIGN?CertSN=" + serial + "&TaskId=ABCD-EF12", "x");
  EXPECT_EQ(given.body, "{\r\n\"Status\": true,\r\n\"Data\": \"abcdef12\",\r\n\"Errors\": []\r\n}");
  EXPECT_EQ(Result("abcdef12").status, 200);
  const HttpReply unknown = Get("/MERVO/GETRESULT?Id=ABCD-EF12");
  EXPECT_EQ(unknown.status, 500);
  EXPECT_EQ(unknown.body, ErrorEnvelope("Криптозадание с Id=ABCD-EF12 не найдено"));
  // DECRYPT decodes its query first: the "-" of a%2Db goes like any dash.
  EXPECT_EQ(DataText(Post("/MERVO/DECRYPT?TaskId=a%2Db", "x").body), "ab");
  // A quote in an id cannot break the envelope.
  EXPECT_EQ(Post("/MERVO/GETSIGN?CertSN=" + serial + "&TaskId=q\"t", "x").body,
            "{\r\n\"Status\": true,\r\n\"Data\": \"q\\\"t\",\r\n\"Errors\": []\r\n}");

  // An empty CertSN passes the check; the task fails for want of a
  // certificate, with a message.
  const std::string empty = Queue("/MERVO/GETSIGN?CertSN=", "x");
  const HttpReply failed = Result(empty);
  EXPECT_EQ(failed.status, 500);
  EXPECT_EQ(failed.body, ErrorEnvelope("Не указан SN (или Thumbprint) сертификата для ЭП"));
  const std::string listed = Get("/MERVO/GETLOGINFO?TaskId=" + empty).body;
  EXPECT_EQ(listed.find("\"Serial\""), std::string::npos) << listed;
  EXPECT_NE(listed.find("\"Status\":\"Error\",\"Type\":\"DetachedSign\",\"InData\":\"eA==\""), std::string::npos)
      << listed;

  // A failing task is followed by one that works.
  const std::string broken = Queue("/MERVO/DECRYPT", "not a message");
  const std::string working = Queue("/MERVO/GETSIGN?CertSN=" + serial, "x");
  EXPECT_EQ(Result(broken).status, 500);
  EXPECT_EQ(Result(working).status, 200);

  // Missing parameters: an envelope, or the bare text where pages expect it.
  EXPECT_EQ(Post("/MERVO/GETSIGN", "x").body, ErrorEnvelope("Не указан SN (или Thumbprint) сертификата для ЭП"));
  EXPECT_EQ(Post("/MERVO/DECRYPT_POVED_RESPONSE", "x").body,
            ErrorEnvelope("Не указан SN (или Thumbprint) сертификата для расшифрования"));
  EXPECT_EQ(Post("/MERVO/SIGN_POVED_REQUEST?fss_nom=1234567890", "x").body, "Ошибка! Не указан SN сертификата для ЭП");
  EXPECT_EQ(Post("/MERVO/SIGN_SEDO_REQUEST?CertSN=" + serial, "x").body, ErrorEnvelope("Не указан рег. номер ФСС"));
  EXPECT_EQ(Post("/MERVO/SIGN_SEDO_REQUEST?CertSN=" + serial + "&fss_nom=123456789", "x").body,
            ErrorEnvelope("Указан некорректный рег. номер ФСС"));
  // The fund request commands answer the bare id; their tasks end aborted.
  const HttpReply request = Post("/MERVO/SIGN_SEDO_REQUEST?CertSN=" + serial + "&fss_nom=1234567890", "x");
  ASSERT_EQ(request.body.size(), 32u) << request.body;
  EXPECT_EQ(Result(request.body).body, ErrorEnvelope("Операция прервана"));
  EXPECT_NE(Get("/MERVO/GETLOGINFO?TaskId=" + request.body).body.find("\"Params\":\"1234567890\""), std::string::npos);

  const HttpReply no_id = Get("/MERVO/GETRESULT");
  EXPECT_EQ(no_id.status, 401);
  EXPECT_EQ(no_id.body, ErrorEnvelope("Не указан Id криптозадания"));
  EXPECT_EQ(Get("/MERVO/GETLOGINFO?TaskId=none").body,
            "{\r\n\"Status\": false,\r\n\"Data\": null,\r\n\"Errors\": [\"КЗ с Id=none не найдено в базе\"]\r\n}");
}

TEST_F(TaskService, ServiceSignalsLoseNoQueuedTaskAndRunNoneTwice) {
  PluginProcess* plugin = &Launch(/*service_mode=*/true);
  const std::string serial = people_["ivanov"].serial;

  // A certificate that is not here: the service leaves the task waiting,
  // and it reads as timed out once it is older than 30 minutes.
  const std::string waiting = Queue("/MERVO/GETSIGN?CertSN=" + people_["media"].serial, "x");
  const HttpReply pending = Get("/MERVO/GETRESULT?Id=" + waiting);
  EXPECT_EQ(pending.status, 201);
  EXPECT_EQ(pending.body, ErrorEnvelope("В стадии выполнения"));
  {
    auto dm = Database(box_);
    auto q = dm->NewQuery(true);
    dm->StartTran(true);
    q->SetSql("update CRYPTO_TASKS set START_TIME=:T where ID=:ID");
    q->SetDateTime("T", Now() - 31.0 / 1440);
    q->SetString("ID", waiting);
    q->ExecQuery();
    q.reset();
    dm->CommitTran(true);
  }
  const HttpReply expired = Get("/MERVO/GETRESULT?Id=" + waiting);
  EXPECT_EQ(expired.status, 500);
  EXPECT_EQ(expired.body, ErrorEnvelope("Время ожидания выполнения криптозадания истекло"));

  std::vector<std::string> ids;
  for (int i = 0; i < 8; ++i) ids.push_back(Queue("/MERVO/GETSIGN?CertSN=" + serial, Data(100, i)));
  plugin->Signal(SIGUSR1);
  ASSERT_TRUE(box_.WaitForLog(test::Cp1251("Плагин приостановлен")));
  EXPECT_LT(test::Connect(port_), 0);  // not listening
  plugin->Signal(SIGUSR2);
  ASSERT_TRUE(box_.WaitForLog(test::Cp1251("Плагин продолжил работу")));
  for (int i = 8; i < 16; ++i) ids.push_back(Queue("/MERVO/GETSIGN?CertSN=" + serial, Data(100, i)));
  // Stopped with tasks still queued: the next start runs them.
  EXPECT_EQ(plugin->Terminate(), 0);
  const std::string log = box_.Log();
  EXPECT_LT(log.rfind(test::Cp1251("Обрабатывающий поток завершён")), log.rfind(test::Cp1251("Плагин остановлен")));

  plugin = &Launch(/*service_mode=*/true);
  for (size_t i = 0; i < ids.size(); ++i)
    EXPECT_TRUE(OpensslVerifies(ResultBytes(ids[i]), Data(100, static_cast<unsigned>(i)), true)) << ids[i];
  const std::map<std::string, int> runs = Runs({&box_});
  for (const std::string& id : ids) EXPECT_EQ(runs.count(id) ? runs.at(id) : 0, 1) << id;
}

TEST_F(TaskService, TwoInstancesOnOneDatabaseRunEachTaskOnce) {
  // A second copy of the program in a folder of its own, on the same
  // platform tree and database, as a second instance of one installation.
  PluginSandbox second;
  second.AddEnv("ZUNTAR_PLATFORM_ROOT=" + box_.root());
  Launch(true);
  int second_port = 0;
  Launch(second, second_port, true, "DBPATH=" + box_.exe_dir() + "/ZuntarMervoPlugin.gdb\r\n",
         /*create_database=*/false, {"INSTANCE=second"});

  const std::string serial = people_["ivanov"].serial;
  std::vector<std::string> ids;
  for (int i = 0; i < 24; ++i)
    ids.push_back(Queue("/MERVO/GETSIGN?CertSN=" + serial, Data(64, i), i % 2 == 0 ? port_ : second_port));
  for (size_t i = 0; i < ids.size(); ++i)
    EXPECT_TRUE(OpensslVerifies(ResultBytes(ids[i], i % 2 == 0 ? second_port : port_), Data(64, i), true));
  const std::map<std::string, int> runs = Runs({&box_, &second});
  for (const std::string& id : ids) EXPECT_EQ(runs.count(id) ? runs.at(id) : 0, 1) << id;
}

TEST_F(TaskService, WithoutTheDatabaseQueuedTasksAreRefusedAndSynchronousOnesRun) {
  // A locale whose code page is not 1251: no database at all.
  box_.AddEnv("LC_ALL=en_US.UTF-8");
  Launch();
  const std::string serial = people_["ivanov"].serial;
  const HttpReply queued = Post("/MERVO/GETSIGN?CertSN=" + serial, "x");
  EXPECT_EQ(queued.body.rfind("{\r\n\"Status\": false,\r\n\"Data\": null,", 0), 0u) << queued.body;
  EXPECT_TRUE(OpensslVerifies(Base64Decode(DataText(Post("/MERVO/GETSIGN_SYNC?CertSN=" + serial, "x").body)), "x",
                              true));
  EXPECT_EQ(box_.CountInLog(test::Cp1251("Обрабатывающий поток запущен")), 0);
}

TEST_F(TaskService, AMissingDatabaseIsReportedByPingAndHttpStillStarts) {
  Launch(box_, port_, false, "", /*create_database=*/false);
  const std::string ping = Get("/MERVO/PING").body;
  EXPECT_NE(ping.find("\"Status\": false"), std::string::npos) << ping;
  EXPECT_NE(ping.find("Ошибка подключения к базе: "), std::string::npos) << ping;
  EXPECT_EQ(box_.CountInLog(test::Cp1251("Ошибка подключения к базе: ")), 1);
}

}  // namespace
}  // namespace zuntar
