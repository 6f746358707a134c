// The processing thread against a real task database and real keys: queued
// tasks of every kind run once and their results verify with openssl; one
// failing task never holds up the others; a missing certificate waits in
// service mode and is asked for in application mode; Pause parks the thread
// and a failing database is retried; a synchronous task whose record fails
// still answers, and the next start closes its row; the record written
// beside a synchronous attached signature holds what came in and went out.
#include "tasks/processing_thread.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <future>
#include <thread>

#include "certs/provider_detection.h"
#include "core/log.h"
#include "core/process_values.h"
#include "core/settings.h"
#include "core/utf.h"
#include "crypto/cert_identity.h"
#include "crypto/cert_manager_instance.h"
#include "crypto/crypto_fixture.h"
#include "platform/capi/gost/gost_key_material.h"
#include "platform/file_io.h"
#include "platform/user_prompt.h"
#include "support/fund_response.h"
#include "support/scripted_prompt.h"
#include "task_db_fixture.h"
#include "tasks/firebird_root.h"
#include "tasks/key_media.h"
#include "tasks/sync_task.h"
#include "tasks/task_database.h"
#include "tasks/task_queue.h"

namespace zuntar {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

Bytes Streebog256(const Bytes& data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EXPECT_EQ(EVP_Digest(data.data(), data.size(), md, &len, ossl::DigestByName("md_gost12_256"), nullptr), 1);
  return Bytes(reinterpret_cast<char*>(md), len);
}

Bytes Joined(const std::vector<std::string_view>& parts) {
  Bytes whole;
  for (const std::string_view part : parts) whole += part;
  return whole;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit = 30s) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

class ProcessingTest : public test::CryptoTest {
 protected:
  static void SetUpTestSuite() {
    // The engine's root stays the same for the whole process.
    test::UsePrivatePlatformRoot();
    PrepareFirebirdClient();
  }

  void SetUp() override {
    CryptoTest::SetUp();
    StartupValues v = BasicStartupValues(dir_.path());
    v.IsCP1251 = true;
    SetStartupValues(v);
    Settings s = DefaultSettings(dir_.path());
    s.DBPATH = dir_ / "tasks.fdb";
    plugin_.settings.Set(s);
    ASSERT_EQ(CreateTaskDatabase(plugin_.settings.Get()), CreateDatabaseResult::kCreated);
    dm_ = CreateTaskDM(plugin_.settings.Get());
    plugin_.providers.Set(ReadProviderState());
    plugin_.certificate_manager.Create(1, plugin_.providers.Get());
    AllowPrompts();
    ivanov_ = Person("ivanov");
    petrov_ = Person("petrov", GostKeyKind::k2012_512);
  }

  void TearDown() override {
    thread_.reset();
    dm_.reset();
    CryptoTest::TearDown();
  }

  void StartThread(bool allow_key_prompt, bool no_http = false) {
    thread_ = std::make_unique<TProcessingMgrThread>(plugin_, no_http, allow_key_prompt);
  }

  static TCryptoTask Task(uint8_t type, Bytes in, const std::string& serial = "", const std::string& thumb = "") {
    TCryptoTask task;
    task.Id = NewTaskId();
    task.TaskType = type;
    task.InData = std::move(in);
    task.CertSN = serial;
    task.CertThumb = thumb;
    return task;
  }

  std::string Queue(const TCryptoTask& task) {
    QueueTask(task, *dm_, plugin_.task_queue);
    return task.Id;
  }

  // The final status of a task (2 or 3) and its text; 0 when it did not
  // finish in time.
  uint8_t WaitDone(const std::string& id, std::string* text = nullptr) {
    uint8_t status = 0;
    std::string out;
    WaitUntil([&] {
      status = dm_->GetTaskStatus(id, out);
      return status == kTaskStatusSuccess || status == kTaskStatusError;
    });
    if (text != nullptr) *text = out;
    return status;
  }

  bool Skipped(const std::string& id) {
    return plugin_.task_queue.Locked([&](TaskQueue::Records& records) {
      for (const QueuedTask& r : records)
        if (r.task.Id == id) return r.task.Skipped;
      return false;
    });
  }

  static std::string Serial(const test::Party& p) { return CertSerialHex(p.cert); }
  static std::string Thumb(const test::Party& p) { return CertThumbprintHex(p.cert); }

  // The PEM of the certificate that signed a detached signature, as openssl
  // reports it; empty when it does not verify.
  std::string SignerPem(const Bytes& signature, const Bytes& data) {
    test::WriteFile(dir_ / "sig.p7s", signature);
    test::WriteFile(dir_ / "data.bin", data);
    if (test::Run("openssl cms -engine gost -verify -binary -inform DER -in " + dir_ / "sig.p7s" + " -content " +
                  dir_ / "data.bin" + " -CAfile " + dir_ / "ca.pem" + " -signer " + dir_ / "signer.pem" +
                  " -out /dev/null") != 0)
      return {};
    return ReadFileToString(dir_ / "signer.pem");
  }

  // A person whose key is on a medium that is not inserted: the volume waits
  // on the shelf until the scripted person puts it in.
  test::Party MediaPerson(const std::string& name) {
    fs::create_directories(dir_ / "media/USB1");
    test::Party p;
    p.issued = test::MakeUser(ca_, name);
    p.cert = CertCreateCertificateContext(X509_ASN_ENCODING, p.issued.der);
    p.cert_pem = dir_ / (name + ".pem");
    test::WritePem(p.cert_pem, p.issued.der);
    EXPECT_TRUE(ImportKeyContainer("\\\\.\\FAT12_A\\keys\\" + name + ".000", p.issued.key.get(), p.issued.der, "",
                                   AT_KEYEXCHANGE)
                    .has_value());
    fs::create_directories(dir_ / "shelf");
    fs::rename(dir_ / "media/USB1", dir_ / "shelf/USB1");
    return p;
  }
  std::function<void()> InsertMedia() {
    return [this] { fs::rename(dir_ / "shelf/USB1", dir_ / "media/USB1"); };
  }

  std::unique_ptr<TDM> dm_;
  PluginContext plugin_;
  std::unique_ptr<TProcessingMgrThread> thread_;
  test::Party ivanov_, petrov_;
};

TEST_F(ProcessingTest, QueuedTasksOfEveryKindRunAndTheirResultsVerify) {
  const Bytes data = Data(3000), plain = Data(777);
  const Bytes digest = Streebog256(data);
  const std::string detached = Queue(Task(kTaskDetachedSign, data, Serial(ivanov_)));
  const std::string attached = Queue(Task(kTaskAttachedSign, data, "", Thumb(petrov_)));
  const std::string hash = Queue(Task(kTaskSignHash, digest, Serial(ivanov_)));
  // No certificate named: the recipients of the message say whose key opens it.
  const std::string decrypt = Queue(Task(kTaskDecrypt, OpensslEncrypts({&petrov_}, plain)));
  const Bytes payload = "twenty-three bytes long";
  const std::string fund = Queue(Task(kTaskDecryptSedoResponse,
                                      test::OpensslFundResponse(dir_, ivanov_.cert_pem, payload), Serial(ivanov_)));
  StartThread(/*allow_key_prompt=*/false);

  std::string result;
  ASSERT_EQ(WaitDone(detached, &result), kTaskStatusSuccess) << result;
  EXPECT_EQ(SignerPem(result, data), ReadFileToString(ivanov_.cert_pem));
  ASSERT_EQ(WaitDone(attached, &result), kTaskStatusSuccess) << result;
  EXPECT_TRUE(OpensslVerifies(result, data, /*detached=*/false));
  ASSERT_EQ(WaitDone(hash, &result), kTaskStatusSuccess) << result;
  ossl::PKeyPtr key(X509_get_pubkey(ivanov_.cert->Certificate()));
  EXPECT_TRUE(VerifyDigest(key.get(), digest, result));
  ASSERT_EQ(WaitDone(decrypt, &result), kTaskStatusSuccess) << result;
  EXPECT_EQ(result, plain);
  ASSERT_EQ(WaitDone(fund, &result), kTaskStatusSuccess) << result;
  EXPECT_EQ(result, payload);
  // Each ran once: nothing is left in the queue.
  EXPECT_EQ(plugin_.task_queue.Locked([](TaskQueue::Records& r) { return r.size(); }), 0u);
}

TEST_F(ProcessingTest, AListRunsWithTheCertificateFoundNeverWithAnotherTasksCertificate) {
  // Whatever certificate the process-wide manager holds is no task's.
  plugin_.certificate_manager.Get()->SetCertificate(petrov_.issued.der);
  const Bytes data = Data(100);
  const std::string listed = Queue(Task(kTaskDetachedSign, data, "0BADC0DE;" + Serial(ivanov_)));
  const std::string thumbs = Queue(Task(kTaskDetachedSign, data, "", std::string(40, 'A') + ";" + Thumb(ivanov_)));
  // Types 6 and 7 go on past an entry that is not here.
  const Bytes payload = "payload of the fund";
  const std::string fund = Queue(Task(kTaskDecryptPovedResponse,
                                      test::OpensslFundResponse(dir_, ivanov_.cert_pem, payload),
                                      "0BADC0DE;" + Serial(petrov_) + ";" + Serial(ivanov_)));
  StartThread(false);

  std::string result;
  ASSERT_EQ(WaitDone(listed, &result), kTaskStatusSuccess) << result;
  EXPECT_EQ(SignerPem(result, data), ReadFileToString(ivanov_.cert_pem));
  ASSERT_EQ(WaitDone(thumbs, &result), kTaskStatusSuccess) << result;
  EXPECT_EQ(SignerPem(result, data), ReadFileToString(ivanov_.cert_pem));
  ASSERT_EQ(WaitDone(fund, &result), kTaskStatusSuccess) << result;
  EXPECT_EQ(result, payload);
}

TEST_F(ProcessingTest, AFailingTaskNeverHoldsUpTheOthersAndEveryFailureHasAMessage) {
  const Bytes data = Data(64);
  const std::string garbage = Queue(Task(kTaskDecrypt, "not an enveloped message"));
  const std::string unnamed = Queue(Task(kTaskDetachedSign, data));
  const std::string unknown_type = Queue(Task(9, data, Serial(ivanov_)));
  const std::string xml = Queue(Task(kTaskXmlSign, "<a/>", Serial(ivanov_)));
  const std::string fund_request = Queue(Task(kTaskSedoRequest, "<a/>", Serial(ivanov_)));
  const std::string good = Queue(Task(kTaskDetachedSign, data, Serial(ivanov_)));
  StartThread(false);  // service mode: still none of these waits out its lifetime

  std::string text;
  EXPECT_EQ(WaitDone(good, &text), kTaskStatusSuccess) << text;
  EXPECT_EQ(WaitDone(garbage, &text), kTaskStatusError);
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(WaitDone(unnamed, &text), kTaskStatusError);
  EXPECT_EQ(Utf8FromAnsi(text), "Не указан SN (или Thumbprint) сертификата для ЭП");
  EXPECT_EQ(WaitDone(unknown_type, &text), kTaskStatusError);
  EXPECT_EQ(Utf8FromAnsi(text), "Ошибка выполнения криптозадачи");
  for (const std::string& id : {xml, fund_request}) {
    EXPECT_EQ(WaitDone(id, &text), kTaskStatusError);
    EXPECT_EQ(Utf8FromAnsi(text), "Операция прервана");
  }
}

TEST_F(ProcessingTest, AMissingCertificateWaitsInServiceModeAndIsAskedForInApplicationMode) {
  const test::Party media = MediaPerson("media");
  const Bytes data = Data(50);
  StartThread(/*allow_key_prompt=*/false);
  const std::string waiting = Queue(Task(kTaskDetachedSign, data, Serial(media)));
  ASSERT_TRUE(WaitUntil([&] { return Skipped(waiting); }));
  std::string text;
  EXPECT_EQ(dm_->GetTaskStatus(waiting, text), kTaskStatusNew);
  thread_.reset();

  // Application mode: the person cancels the first task's question and
  // inserts the media for the second.
  plugin_.task_queue.Locked([](TaskQueue::Records& records) { records.clear(); });
  test::ScriptedPrompt person;
  person.confirm_answers.push_back({false, nullptr});
  const std::string cancelled = Queue(Task(kTaskDetachedSign, data, Serial(media)));
  StartThread(/*allow_key_prompt=*/true);
  EXPECT_EQ(WaitDone(cancelled, &text), kTaskStatusError);
  EXPECT_EQ(Utf8FromAnsi(text), "Не удалось найти сертификат с SN: " + Serial(media));
  // The first task came back from the table too and was asked for once more.
  EXPECT_EQ(WaitDone(waiting, &text), kTaskStatusError);

  person.confirm_answers.push_back({true, InsertMedia()});
  const std::string inserted = Queue(Task(kTaskDetachedSign, data, Serial(media)));
  ASSERT_EQ(WaitDone(inserted, &text), kTaskStatusSuccess) << text;
  EXPECT_EQ(SignerPem(text, data), ReadFileToString(media.cert_pem));
  EXPECT_EQ(person.asked.size(), 3u);
}

TEST_F(ProcessingTest, QueuingNeverWaitsForTheTaskThatRunsNorForItsQuestion) {
  const test::Party media = MediaPerson("media");
  test::ScriptedPrompt person;
  person.HoldQuestions(true);  // the person does not answer yet
  person.confirm_answers.push_back({true, InsertMedia()});
  StartThread(/*allow_key_prompt=*/true);
  const std::string asking = Queue(Task(kTaskDetachedSign, Data(10), Serial(media)));
  ASSERT_TRUE(WaitUntil([&] { return person.Running() == 1; }));
  // A worker queues while the thread waits for the person: it is not held up.
  auto other = std::async(std::launch::async, [&] {
    auto dm = CreateTaskDM(plugin_.settings.Get());
    TCryptoTask task = Task(kTaskDetachedSign, Data(20), Serial(ivanov_));
    QueueTask(task, *dm, plugin_.task_queue);
    return task.Id;
  });
  ASSERT_EQ(other.wait_for(20s), std::future_status::ready);
  const std::string queued = other.get();
  person.HoldQuestions(false);
  std::string text;
  EXPECT_EQ(WaitDone(asking, &text), kTaskStatusSuccess) << text;
  EXPECT_EQ(WaitDone(queued, &text), kTaskStatusSuccess) << text;
}

TEST_F(ProcessingTest, ASynchronousTaskAnswersThoughItsRecordFailsAndTheNextStartClosesTheRow) {
  const test::Party media = MediaPerson("media");
  const Bytes data = Data(40);
  TCryptoTask task = Task(kTaskDetachedSign, data, Serial(media));
  std::unique_ptr<TDM> worker = CreateTaskDM(plugin_.settings.Get());
  std::vector<std::string> closed_while_running{"not asked"};
  test::ScriptedPrompt person;
  person.confirm_answers.push_back({true, [&] {
                                      InsertMedia()();
                                      // A start meanwhile leaves the running task alone.
                                      closed_while_running =
                                          CreateTaskDM(plugin_.settings.Get())->CloseInterruptedTasks();
                                      worker->Close();  // the database is gone before the result is stored
                                    }});
  SyncTask run(task, worker.get(), plugin_.certificate_manager, plugin_.providers.Get());
  run.Finish();
  ASSERT_EQ(run.outcome().kind, SyncTaskOutcome::kSuccess) << run.outcome().data;
  EXPECT_EQ(SignerPem(Joined(run.Result()), data), ReadFileToString(media.cert_pem));
  EXPECT_TRUE(closed_while_running.empty());
  std::string text;
  EXPECT_EQ(dm_->GetTaskStatus(task.Id, text), kTaskStatusWait);
  EXPECT_EQ(dm_->CloseInterruptedTasks(), std::vector<std::string>{task.Id});
  EXPECT_EQ(dm_->GetTaskStatus(task.Id, text), kTaskStatusError);
  EXPECT_EQ(text, InterruptedTaskText());
}

TEST_F(ProcessingTest, ASynchronousAttachedSignatureIsStoredAsAnsweredOrAsItsFailure) {
  // The record is written while the task signs, the result's start before
  // the signature exists: the row must still hold exactly what came in and
  // what went out. Several blob segments and pages.
  const Bytes data = Data(3 << 20);
  const auto stored = [&](const std::string& id, uint8_t status, const Bytes& out) {
    std::unique_ptr<IbStatement> q = dm_->NewQuery(false);
    dm_->StartTran(false);
    q->SetSql("select STATUS, IN_DATA, OUT_DATA from CRYPTO_TASKS where ID=:ID");
    q->SetString("ID", id);
    q->ExecQuery();
    ASSERT_TRUE(q->Next());
    EXPECT_EQ(q->Field("STATUS").AsInteger(), status);
    EXPECT_TRUE(q->Field("IN_DATA").AsString() == data);
    const Bytes out_data = q->Field("OUT_DATA").AsString();
    EXPECT_TRUE(out_data == out) << out_data.size() << " bytes stored, " << out.size() << " answered";
    q->Close();
    dm_->CommitTran(false);
  };
  std::unique_ptr<TDM> worker = CreateTaskDM(plugin_.settings.Get());
  TCryptoTask task = Task(kTaskAttachedSign, data, Serial(petrov_));
  SyncTask signing(task, worker.get(), plugin_.certificate_manager, plugin_.providers.Get());
  ASSERT_EQ(signing.outcome().kind, SyncTaskOutcome::kSuccess) << signing.outcome().data;
  const Bytes message = Joined(signing.Result());  // read while the record is written
  EXPECT_TRUE(OpensslVerifies(message, data, false));
  signing.Finish();
  stored(task.Id, kTaskStatusSuccess, message);

  // A key whose PIN the person does not give fails once the data is hashed:
  // the failure is stored, not the message begun.
  const test::Party locked =
      test::MakeParty(dir_, ca_, "locked", GostKeyKind::k2012_256, AT_KEYEXCHANGE, nullptr, "1234");
  AddToStore(locked.cert, true);
  test::ScriptedPrompt person;
  TCryptoTask refused = Task(kTaskAttachedSign, data, Serial(locked));
  SyncTask failing(refused, worker.get(), plugin_.certificate_manager, plugin_.providers.Get());
  ASSERT_EQ(failing.outcome().kind, SyncTaskOutcome::kError);
  EXPECT_FALSE(failing.Writing());
  EXPECT_EQ(person.asked, std::vector<std::string>{"pin:locked"});
  stored(refused.Id, kTaskStatusError, failing.outcome().data);
}

TEST_F(ProcessingTest, PauseParksTheThreadBetweenTasksAndTerminateEndsItEvenParked) {
  StartThread(false);
  thread_->Suspend();
  const std::string id = Queue(Task(kTaskDetachedSign, Data(10), Serial(ivanov_)));
  ASSERT_TRUE(WaitUntil([&] { return thread_->Parked(); }));
  std::string text;
  EXPECT_EQ(dm_->GetTaskStatus(id, text), kTaskStatusNew);
  thread_->Resume();
  EXPECT_EQ(WaitDone(id, &text), kTaskStatusSuccess) << text;

  thread_->Suspend();
  ASSERT_TRUE(WaitUntil([&] {
    SignalNewTask(plugin_.task_queue);  // ends the wait, so the thread reaches a safe point
    return thread_->Parked();
  }));
  thread_->Terminate();
  thread_->WaitFor();
  EXPECT_NE(ReadFileToString(LogFileName()).find(Cp1251FromUtf8("Обрабатывающий поток завершён")),
            std::string::npos);
}

TEST_F(ProcessingTest, AFailingDatabaseIsRetriedWithAFreshConnection) {
  Settings s = plugin_.settings.Get();
  s.DBPATH = dir_ / "later.fdb";  // not there yet
  plugin_.settings.Set(s);
  StartThread(false);
  ASSERT_TRUE(WaitUntil([&] {
    return ReadFileToString(LogFileName()).find("during load messages to queue") != std::string::npos;
  }));
  ASSERT_EQ(CreateTaskDatabase(plugin_.settings.Get()), CreateDatabaseResult::kCreated);
  dm_ = CreateTaskDM(plugin_.settings.Get());
  const std::string id = Queue(Task(kTaskDetachedSign, Data(10), Serial(ivanov_)));
  std::string text;
  EXPECT_EQ(WaitDone(id, &text), kTaskStatusSuccess) << text;
}

}  // namespace
}  // namespace zuntar
