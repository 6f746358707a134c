// The task commands in process, with a real task database, real keys and a
// scripted person at the desktop: synchronous tasks that ask for key media,
// a worker without a database, and the diagnostic commands' replies.
#include "http/task_commands.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "certs/provider_detection.h"
#include "core/base64.h"
#include "core/log.h"
#include "core/process_values.h"
#include "core/settings.h"
#include "core/utf.h"
#include "crypto/cert_identity.h"
#include "crypto/cert_manager_instance.h"
#include "crypto/crypto_fixture.h"
#include "http/http_access.h"
#include "http/task_log_commands.h"
#include "platform/file_io.h"
#include "platform/user_prompt.h"
#include "support/http_client.h"
#include "support/scripted_prompt.h"
#include "tasks/firebird_root.h"
#include "tasks/task_database.h"
#include "tasks/task_dm.h"

namespace zuntar {
namespace {

namespace fs = std::filesystem;
using test::Request;

// The Data of a success envelope, decoded; empty for anything else.
Bytes DataOf(const std::string& body) {
  const std::string head = "{\r\n\"Status\": true,\r\n\"Data\": \"";
  const std::string tail = "\",\r\n\"Errors\": []\r\n}";
  if (body.rfind(head, 0) != 0 || body.size() < head.size() + tail.size() ||
      body.compare(body.size() - tail.size(), tail.size(), tail) != 0)
    return {};
  return Base64Decode(std::string_view(body).substr(head.size(), body.size() - head.size() - tail.size()));
}

std::string ErrorEnvelope(const std::string& utf8) {
  return "{\r\n\"Status\": false,\r\n\"Data\": null,\r\n\"Errors\": [\"" + utf8 + "\"]\r\n}";
}

class TaskCommandsTest : public test::CryptoTest {
 protected:
  static void SetUpTestSuite() {
    static test::TempDir* engine_root = new test::TempDir;  // one engine root for the process
    ::setenv("ZUNTAR_PLATFORM_ROOT", engine_root->path().c_str(), 1);
    PrepareFirebirdClient();
  }

  void SetUp() override {
    CryptoTest::SetUp();
    Start(/*database=*/true);
    plugin_.providers.Set(ReadProviderState());
    plugin_.certificate_manager.Create(1, plugin_.providers.Get());
    AllowPrompts();
  }

  void TearDown() override {
    access_.reset();
    dm_.reset();
    plugin_.certificate_manager.Reset();
    CryptoTest::TearDown();
  }

  // `db_file`: the database in the test's folder, created unless told not to.
  void Start(bool database, const std::string& db_file = "tasks.fdb", bool create = true) {
    access_.reset();
    StartupValues v = BasicStartupValues(dir_.path());
    v.IsCP1251 = database;
    SetStartupValues(v);
    Settings s = DefaultSettings(dir_.path());
    s.HTTPPORT = 0;
    s.DBPATH = dir_ / db_file;
    plugin_.settings.Set(s);
    if (database && create && !FileExists(s.DBPATH)) {
      ASSERT_EQ(CreateTaskDatabase(plugin_.settings.Get()), CreateDatabaseResult::kCreated);
      dm_ = CreateTaskDM(plugin_.settings.Get());
    }
    CommandRegistry commands;
    RegisterTaskCommands(commands);
    RegisterTaskLogCommands(commands);
    access_ = std::make_unique<THttpAccess>(plugin_, std::move(commands));
  }

  test::HttpReply Post(const std::string& target, const Bytes& data) {
    return Request(access_->port(), "POST", target, Base64Encode(data));
  }

  // The stored status of a task and its text.
  uint8_t Stored(const std::string& id, std::string* text = nullptr) {
    std::string out;
    const uint8_t status = dm_->GetTaskStatus(id, out);
    if (text != nullptr) *text = out;
    return status;
  }

  // A person whose key lives in a container on a medium that waits on the
  // shelf; with `in_machine_store` the certificate is in the machine's
  // personal store, without a link to its key.
  test::Party OnMedia(const std::string& name, bool in_machine_store) {
    fs::create_directories(dir_ / "media/USB1");
    test::Party p;
    p.issued = test::MakeUser(ca_, name);
    p.cert = CertCreateCertificateContext(X509_ASN_ENCODING, p.issued.der);
    p.cert_pem = dir_ / (name + ".pem");
    test::WritePem(p.cert_pem, p.issued.der);
    EXPECT_TRUE(ImportKeyContainer("\\\\.\\FAT12_A\\" + name + ".000", p.issued.key.get(), p.issued.der, "",
                                   AT_KEYEXCHANGE)
                    .has_value());
    if (in_machine_store) AddToStore(p.cert, false);
    fs::create_directories(dir_ / "shelf");
    fs::rename(dir_ / "media/USB1", dir_ / "shelf/USB1");
    return p;
  }
  std::function<void()> InsertMedia() {
    return [this] { fs::rename(dir_ / "shelf/USB1", dir_ / "media/USB1"); };
  }

  std::unique_ptr<TDM> dm_;
  PluginContext plugin_;
  std::unique_ptr<THttpAccess> access_;
};

TEST_F(TaskCommandsTest, SyncSigningAsksForKeyMediaUntilThePersonInsertsIt) {
  const test::Party media = OnMedia("media", /*in_machine_store=*/false);
  const std::string serial = CertSerialHex(media.cert);
  const Bytes data = Data(500);
  test::ScriptedPrompt person;

  // Cancelled: the check's message, stored as the task's error.
  const test::HttpReply cancelled = Post("/MERVO/GETSIGN_SYNC?CertSN=" + serial + "&TaskId=first", data);
  EXPECT_EQ(cancelled.body, ErrorEnvelope("Не удалось найти сертификат с SN: " + serial));
  std::string text;
  EXPECT_EQ(Stored("first", &text), kTaskStatusError);
  EXPECT_EQ(Utf8FromAnsi(text), "Не удалось найти сертификат с SN: " + serial);

  // Inserted: the same request returns the signature.
  person.confirm_answers.push_back({true, InsertMedia()});
  const test::HttpReply signed_reply = Post("/MERVO/GETSIGN_SYNC?CertSN=" + serial + "&TaskId=second", data);
  const Bytes signature = DataOf(signed_reply.body);
  ASSERT_FALSE(signature.empty()) << signed_reply.body;
  EXPECT_TRUE(OpensslVerifies(signature, data, /*detached=*/true));
  EXPECT_EQ(Stored("second", &text), kTaskStatusSuccess);
  EXPECT_EQ(text, signature);
  EXPECT_EQ(person.asked.size(), 2u);
}

TEST_F(TaskCommandsTest, SyncSigningWhoseKeyIsNotLinkedAsksAndTriesAgain) {
  // The certificate is found (in the machine's store) but not linked to its
  // key: the signing call fails for want of a key ("-2146885621"), the
  // person inserts the medium, the user's store gets the certificate linked
  // to it, and the same task signs.
  const test::Party unlinked = OnMedia("unlinked", /*in_machine_store=*/true);
  const Bytes data = Data(64);
  test::ScriptedPrompt person;
  person.confirm_answers.push_back({true, InsertMedia()});
  const test::HttpReply reply =
      Post("/MERVO/GETSIGN_ATT_SYNC?CertSN=" + CertSerialHex(unlinked.cert) + "&TaskId=again", data);
  const Bytes signature = DataOf(reply.body);
  ASSERT_FALSE(signature.empty()) << reply.body;
  EXPECT_TRUE(OpensslVerifies(signature, data, /*detached=*/false));
  EXPECT_EQ(person.asked.size(), 1u);
  // The record holds the message of the try that signed.
  std::string text;
  EXPECT_EQ(Stored("again", &text), kTaskStatusSuccess);
  EXPECT_EQ(text, signature);
}

TEST_F(TaskCommandsTest, AWorkerWithoutADatabaseRefusesQueuedTasksButRunsSynchronousOnes) {
  const test::Party ivanov = Person("ivanov");
  Start(/*database=*/false);
  const std::string target = "CertSN=" + CertSerialHex(ivanov.cert);
  EXPECT_EQ(Post("/MERVO/GETSIGN?" + target, "data").body,
            ErrorEnvelope("База данных недоступна: задание не может быть поставлено в очередь"));
  EXPECT_EQ(Post("/MERVO/SIGN_SEDO_REQUEST?" + target + "&fss_nom=1234567890", "data").body,
            ErrorEnvelope("База данных недоступна: задание не может быть поставлено в очередь"));
  const Bytes signature = DataOf(Post("/MERVO/GETSIGN_SYNC?" + target, "data").body);
  EXPECT_TRUE(OpensslVerifies(signature, "data", /*detached=*/true));
  EXPECT_EQ(Request(access_->port(), "GET", "/MERVO/GETRESULT?Id=x").body, "#Error#Exception База данных недоступна");
}

TEST_F(TaskCommandsTest, AnUnreachableDatabaseRefusesQueuedTasksClearly) {
  const test::Party ivanov = Person("ivanov");
  Start(/*database=*/true, "gone.fdb", /*create=*/false);  // its workers connect, and fail
  const std::string target = "CertSN=" + CertSerialHex(ivanov.cert);
  EXPECT_EQ(Post("/MERVO/GETSIGN?" + target, "data").body,
            ErrorEnvelope("База данных недоступна: задание не может быть поставлено в очередь"));
  EXPECT_TRUE(OpensslVerifies(DataOf(Post("/MERVO/GETSIGN_SYNC?" + target, "data").body), "data", true));
  EXPECT_NE(ReadFileToString(LogFileName()).find("no DB connection"), std::string::npos);
}

// Each running plugin works with the settings it holds, even beside another
// in the same process: a task posted to either lands in its own database.
TEST_F(TaskCommandsTest, PluginsSideBySideKeepTheirTasksInTheirOwnDatabases) {
  const test::Party ivanov = Person("ivanov");
  PluginContext other;
  Settings s = plugin_.settings.Get();
  s.DBPATH = dir_ / "other.fdb";
  ASSERT_EQ(CreateTaskDatabase(s), CreateDatabaseResult::kCreated);
  other.settings.Set(s);
  CommandRegistry commands;
  RegisterTaskCommands(commands);
  THttpAccess other_access(other, std::move(commands));
  const std::string target = "/MERVO/GETSIGN?CertSN=" + CertSerialHex(ivanov.cert) + "&TaskId=";
  Post(target + "mine", "data");
  Request(other_access.port(), "POST", target + "theirs", Base64Encode("data"));
  const std::unique_ptr<TDM> other_dm = CreateTaskDM(s);
  std::string text;
  EXPECT_EQ(Stored("mine"), kTaskStatusNew);
  EXPECT_EQ(Stored("theirs"), kTaskStatusError);  // not known here
  EXPECT_EQ(other_dm->GetTaskStatus("theirs", text), kTaskStatusNew);
  EXPECT_EQ(other_dm->GetTaskStatus("mine", text), kTaskStatusError);
}

TEST_F(TaskCommandsTest, GetLogFileSendsTheEndOfALongLog) {
  Settings s = plugin_.settings.Get();
  s.LOG_LEVEL = 1;  // no request lines: the log stays as written
  plugin_.settings.Set(s);
  const std::string tail = "\r\nthe last line";
  std::string log(kLogFileReplyLimit + 1000 - tail.size(), 'x');
  log += tail;
  WriteStringToFile(log, LogFileName());
  log.clear();
  const test::HttpReply reply = Request(access_->port(), "GET", "/MERVO/GETLOGFILE");
  const Bytes content = DataOf(reply.body);
  EXPECT_EQ(content.size(), kLogFileReplyLimit);
  EXPECT_EQ(content.substr(content.size() - tail.size()), tail);
}

// A log swapped for a link (to /etc/shadow, say, by someone who could
// write the log's folder) is neither written through nor sent.
TEST_F(TaskCommandsTest, ALogThatIsALinkIsNeitherWrittenThroughNorSent) {
  const std::string secret = dir_ / "secret";
  WriteStringToFile("root:$6$salt$hash\n", secret);
  std::remove(LogFileName().c_str());
  ASSERT_EQ(symlink(secret.c_str(), LogFileName().c_str()), 0);
  LogError("a line for the log");
  const test::HttpReply reply = Request(access_->port(), "GET", "/MERVO/GETLOGFILE");
  EXPECT_EQ(reply.body.rfind("{\r\n\"Status\": false,", 0), 0u) << reply.body;
  EXPECT_EQ(reply.body.find(Base64Encode("root:$6$salt$hash\n")), std::string::npos) << reply.body;
  EXPECT_EQ(ReadFileToString(secret), "root:$6$salt$hash\n");
}

TEST_F(TaskCommandsTest, GetLogInfoShowsEveryMemberAndEscapesTheCallersTexts) {
  TCryptoTask task;
  task.Id = "q\"id\\";
  task.TaskType = kTaskSedoRequest;
  task.CertThumb = "AB\"CD";
  task.StrParam = "12345\\7890";
  task.InData = "in";
  dm_->SaveTask(task, kTaskStatusNew);
  dm_->SetTaskResult(task.Id, kTaskStatusError, AnsiFromUtf8("ошибка \"x\""));
  dm_->CommitAll();

  const std::string body =
      Request(access_->port(), "GET", "/MERVO/GETLOGINFO?TaskId=q\"id\\").body;
  const size_t open = body.find("[\r\n{") + 3;
  const std::string row = body.substr(open, body.find("}],") + 1 - open);
  const std::string start = row.substr(15, 19);
  EXPECT_EQ(row, "{\"StartTime\": \"" + start + "\",\"ModifyTime\": \"" + row.substr(row.find("ModifyTime") + 14, 19) +
                     "\",\"Thumbprint\":\"AB\\\"CD\",\"Status\":\"Error\",\"Type\":\"BuildSEDORequest\","
                     "\"Params\":\"12345\\\\7890\",\"InData\":\"aW4=\",\"Error\":\"ошибка \\\"x\\\"\","
                     "\"Id\":\"q\\\"id\\\\\"}");
  // Without a TaskId no data is read, and a row never updated shows the
  // zero date.
  TCryptoTask plain;
  plain.Id = "plain";
  plain.CertSN = "01AB";
  dm_->SaveTask(plain, kTaskStatusNew);
  dm_->CommitAll();
  const std::string all = Request(access_->port(), "GET", "/MERVO/GETLOGINFO").body;
  EXPECT_EQ(all.find("InData"), std::string::npos) << all;
  EXPECT_NE(all.find("\"ModifyTime\": \"1899-12-30 00:00:00\",\"Serial\":\"01AB\",\"Status\":\"New\","
                     "\"Type\":\"DetachedSign\",\"Id\":\"plain\"}"),
            std::string::npos)
      << all;
}

TEST(PercentDecode, DecodesValidSequencesAndDropsTheRest) {
  EXPECT_EQ(PercentDecode("a%2Db"), "a-b");
  EXPECT_EQ(PercentDecode("%41%62+c"), "Ab+c");
  EXPECT_EQ(PercentDecode("x%00y"), "xy");    // a zero byte is dropped
  EXPECT_EQ(PercentDecode("x%zzy"), "xy");    // not hexadecimal: dropped with its two characters
  EXPECT_EQ(PercentDecode("x%4"), "x");       // cut short at the end
  EXPECT_EQ(PercentDecode("%D0%96"), "\xD0\x96");
}

}  // namespace
}  // namespace zuntar
