// The signing service end to end: the real executable with a test PKI and
// an embedded database, called over HTTP. Every signature is checked by
// openssl, every decryption against what openssl encrypted; the service's
// signals stop, pause and continue it with tasks queued, and two instances
// share one database.
#include <gtest/gtest.h>

#include "platform/capi/base/error_codes.h"
#include "task_service_fixture.h"

namespace zuntar {
namespace {

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

TEST_F(TaskService, HashValuesThatDoNotFitTheKeyGetAnErrorAndTheServiceGoesOn) {
  Launch();
  const Person& ivanov = people_["ivanov"];
  const Person& petrov = people_["petrov"];
  const std::string error_head = "{\r\n\"Status\": false,\r\n\"Data\": null,\r\n\"Errors\": [\"";
  // Each answer names the refused call and the provider's code and text.
  auto refused = [&](const std::string& body, const std::string& call, DWORD code, const char* text) {
    EXPECT_EQ(body.rfind(error_head, 0), 0u) << body;
    EXPECT_NE(body.find(call + "("), std::string::npos) << body;
    EXPECT_NE(body.find(std::to_string(static_cast<int32_t>(code))), std::string::npos) << body;
    EXPECT_NE(body.find(text), std::string::npos) << body;
  };
  // A value that is not 32 bytes long, at once and queued (the task ends
  // with the same error).
  for (size_t size : {5, 48}) {
    const Bytes value(size, 'h');
    refused(Post("/MERVO/SIGN_HASH_SYNC?CertSN=" + ivanov.serial, value).body, "CryptSetHashParam", NTE_BAD_HASH,
            "Неправильное хеш-значение.");
    const HttpReply queued = Result(Queue("/MERVO/SIGN_HASH?CertSN=" + ivanov.serial, value));
    EXPECT_EQ(queued.status, 500);
    refused(queued.body, "CryptSetHashParam", NTE_BAD_HASH, "Неправильное хеш-значение.");
  }
  // A GOST R 34.11-2012 256 hash is not the 512-bit key's to sign.
  refused(Post("/MERVO/SIGN_HASH_SYNC?CertSN=" + petrov.serial, Streebog256("x")).body, "CryptSignHash",
          NTE_BAD_ALGID, "Указан неправильный алгоритм.");
  EXPECT_NE(Get("/MERVO/PING").body.find("\"Status\": true"), std::string::npos);
  const Bytes digest = Streebog256("after");
  EXPECT_TRUE(OpensslVerifiesHash(
      ivanov, digest, Base64Decode(DataText(Post("/MERVO/SIGN_HASH_SYNC?CertSN=" + ivanov.serial, digest).body))));
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
  PluginSandbox& second = SecondBox();
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
  box_.AddEnv("LC_ALL=de_DE@euro");
  Launch();
  const std::string serial = people_["ivanov"].serial;
  const HttpReply queued = Post("/MERVO/GETSIGN?CertSN=" + serial, "x");
  EXPECT_EQ(queued.body.rfind("{\r\n\"Status\": false,\r\n\"Data\": null,", 0), 0u) << queued.body;
  EXPECT_TRUE(OpensslVerifies(Base64Decode(DataText(Post("/MERVO/GETSIGN_SYNC?CertSN=" + serial, "x").body)), "x",
                              true));
  EXPECT_EQ(box_.CountInLog(test::Cp1251("Обрабатывающий поток запущен")), 0);
}

TEST_F(TaskService, WithoutItsDatabaseOnlyTheCommandsThatKeepTasksReportIt) {
  Launch(box_, port_, false, "", /*create_database=*/false);
  const std::string ping = Get("/MERVO/PING").body;
  EXPECT_NE(ping.find("\"Status\": false"), std::string::npos) << ping;
  EXPECT_NE(ping.find("Ошибка подключения к базе: "), std::string::npos) << ping;
  EXPECT_EQ(box_.CountInLog(test::Cp1251("Ошибка подключения к базе: ")), 1);

  // The certificate commands answer as usual.
  const Person& ivanov = people_["ivanov"];
  const std::string success = "{\r\n\"Status\": true,\r\n\"Data\": null,\r\n\"Errors\": []\r\n}";
  const HttpReply all = Get("/MERVO/ENUMALLCERTS");
  EXPECT_EQ(all.status, 200);
  EXPECT_EQ(all.body.rfind("{\r\n\"Status\": true,\r\n\"Data\": [", 0), 0u) << all.body;
  EXPECT_EQ(Get("/MERVO/GETCERTBODY?CertSN=" + ivanov.serial).body,
            kEnvelopeHead + Base64Encode(ivanov.der) + kEnvelopeTail);
  EXPECT_EQ(Get("/MERVO/CHECKCERTANDCLUE?CertSN=" + ivanov.serial).body, success);
  EXPECT_EQ(Post("/MERVO/CHECKCERTANDCLUE", ivanov.der).body, success);
  // A synchronous task runs; the commands that keep tasks say why they cannot.
  EXPECT_TRUE(OpensslVerifies(Base64Decode(DataText(Post("/MERVO/GETSIGN_SYNC?CertSN=" + ivanov.serial, "x").body)),
                              "x", true));
  EXPECT_EQ(Post("/MERVO/GETSIGN?CertSN=" + ivanov.serial, "x").body,
            ErrorEnvelope("База данных недоступна: задание не может быть поставлено в очередь"));
  EXPECT_EQ(Get("/MERVO/GETRESULT?Id=0f1e2d3c4b5a69788796a5b4c3d2e1f0").body.rfind("#Error#EIB", 0), 0u);
}

}  // namespace
}  // namespace zuntar
