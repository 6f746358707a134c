#include "http/task_commands.h"

#include <memory>
#include <utility>

#include "certs/cert_text.h"
#include "core/base64.h"
#include "core/text.h"
#include "core/utf.h"
#include "http/origin_list.h"
#include "http/query_params.h"
#include "http/reply.h"
#include "platform/exception.h"
#include "tasks/crypto_task.h"
#include "tasks/sync_task.h"
#include "tasks/task_dm.h"
#include "tasks/task_queue.h"

namespace zuntar {
namespace {

// The FSS-response commands keep this much of CertSN.
constexpr size_t kFundResponseSerialLimit = 2048;
constexpr size_t kFundNumberLength = 10;

std::string ErrorEnvelope(const std::string& ansi_text) { return MakeReply(false, "", {ansi_text}); }
std::string ErrorEnvelopeUtf8(const char* utf8) { return ErrorEnvelope(AnsiFromUtf8(utf8)); }

// The reply that carries a task id.
std::string IdEnvelope(const std::string& id) { return MakeReply(true, JsonEscape(id), {}, true); }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The record of a task command, the request body decoded in place and
// taken over: a large body is never copied.
TCryptoTask BuildTask(CommandContext& c, const QueryParams& params, size_t serial_limit = std::string::npos) {
  TCryptoTask task;
  const std::string task_id = params.Value("TaskId");
  // An empty id would be answered as "Data": null and collide with every
  // other empty one: it gets a new id like an absent one.
  task.Id = task_id.empty() ? NewTaskId() : NormalizeTaskId(task_id);
  task.TaskType = static_cast<uint8_t>(c.task_type);
  task.CertSN = NormalizeSerial(params.Value("CertSN")).substr(0, serial_limit);
  task.CertThumb = NormalizeSerial(params.Value("CertThumb"));
  task.Origin = TaskOwnerOf(c.request.origin);
  std::string body = std::move(c.request.body);
  Base64DecodeInPlace(body);
  task.InData = std::move(body);
  return task;
}

// Queues or runs the task and fills the reply. `bare_id`: the queued reply
// is the id alone, not an envelope.
int Run(CommandContext& c, TCryptoTask task, bool bare_id) {
  if (!c.sync) {
    if (c.dm == nullptr) {
      c.response.body = ErrorEnvelope(DatabaseUnavailableText());
      return 200;
    }
    const std::string id = task.Id;
    QueueTask(std::move(task), *c.dm, c.plugin.task_queue);
    c.response.body = bare_id ? id : IdEnvelope(id);
    return 200;
  }
  const auto run =
      std::make_shared<SyncTask>(std::move(task), c.dm, c.plugin.certificate_manager, c.plugin.providers.Get());
  const SyncTaskOutcome& outcome = run->outcome();
  switch (outcome.kind) {
    case SyncTaskOutcome::kSuccess:
      // The record may still be written while the reply goes out: the reply
      // keeps the task, and is whole only once the record is, so a page that
      // has the reply finds the task done.
      c.dm_busy = run->Writing();
      c.response.body_source = StreamedReply(run->Result(), [run] { run->Finish(); });
      break;
    case SyncTaskOutcome::kNoResult:
      c.response.body = "Ошибка выполнения криптозадачи";  // bare text
      break;
    case SyncTaskOutcome::kError:
      c.response.body = ErrorEnvelope(outcome.data);
      break;
  }
  return 200;
}

// The same; a page that sends the id of a task it does not own gets an
// error envelope, and that task stays as it was.
int Submit(CommandContext& c, TCryptoTask task, bool bare_id = false) {
  try {
    return Run(c, std::move(task), bare_id);
  } catch (const ETaskIdTaken& e) {
    c.response.body = ErrorEnvelope(e.what());
    return 200;
  }
}

// GETSIGN, GETSIGN_ATT, GET_XML_SIGN, SIGN_HASH.
int CreateTask(CommandContext& c) {
  const QueryParams params = ParseParams(c.request.query);
  if (!params.Has("CertSN") && !params.Has("CertThumb")) {
    c.response.body = ErrorEnvelopeUtf8("Не указан SN (или Thumbprint) сертификата для ЭП");
    return 200;
  }
  return Submit(c, BuildTask(c, params));
}

// SIGN_SEDO_REQUEST, SIGN_POVED_REQUEST.
int CreateFundRequestTask(CommandContext& c) {
  const QueryParams params = ParseParams(c.request.query);
  if (!params.Has("CertSN")) {
    c.response.body = "Ошибка! Не указан SN сертификата для ЭП";  // bare text, as pages expect it
    return 200;
  }
  if (!params.Has("fss_nom")) {
    c.response.body = ErrorEnvelopeUtf8("Не указан рег. номер ФСС");
    return 200;
  }
  std::string number = Trim(params.Value("fss_nom"));
  if (number.size() != kFundNumberLength) {
    c.response.body = ErrorEnvelopeUtf8("Указан некорректный рег. номер ФСС");
    return 200;
  }
  TCryptoTask task = BuildTask(c, params);
  task.StrParam = std::move(number);
  return Submit(c, std::move(task), /*bare_id=*/true);
}

// DECRYPT: no certificate needed, the recipients say who may decrypt.
int CreateDecryptTask(CommandContext& c) {
  const QueryParams params = ParseParams(PercentDecode(c.request.query));
  return Submit(c, BuildTask(c, params));
}

// DECRYPT_SEDO_RESPONSE, DECRYPT_FSS_RESPONSE, DECRYPT_POVED_RESPONSE.
int CreateFundResponseTask(CommandContext& c) {
  const QueryParams params = ParseParams(c.request.query);
  if (!params.Has("CertSN") && !params.Has("CertThumb")) {
    c.response.body = ErrorEnvelopeUtf8("Не указан SN (или Thumbprint) сертификата для расшифрования");
    return 200;
  }
  return Submit(c, BuildTask(c, params, kFundResponseSerialLimit));
}

TDM& RequireDM(CommandContext& c) {
  if (c.dm == nullptr) throw Exception(AnsiFromUtf8("База данных недоступна"));
  return *c.dm;
}

int GetResult(CommandContext& c) {
  const QueryParams params = ParseParams(c.request.query);
  if (!params.Has("Id") && !params.Has("taskId")) {
    c.response.body = ErrorEnvelopeUtf8("Не указан Id криптозадания");
    return 401;
  }
  // As the task reply gave it: not normalised.
  const std::string id = params.Has("Id") ? params.Value("Id") : params.Value("taskId");
  std::string text;
  // A page reads only the tasks of its own site and those of programs.
  switch (RequireDM(c).GetTaskStatus(id, text, TaskOwnerOf(c.request.origin))) {
    case kTaskStatusNew:
    case kTaskStatusWait:
      c.response.body = ErrorEnvelopeUtf8("В стадии выполнения");
      return 201;
    case kTaskStatusSuccess:
      c.response.body_source = StreamedReply(std::move(text));
      return 200;
    default:
      c.response.body = ErrorEnvelope(text);
      return 500;
  }
}

}  // namespace

std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    const int high = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
    const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
    const int value = high < 0 || low < 0 ? 0 : high * 16 + low;
    if (value != 0) out += static_cast<char>(value);
    i += 2;  // the two characters after "%" go with it, valid or not
  }
  return out;
}

std::string DatabaseUnavailableText() {
  return AnsiFromUtf8("База данных недоступна: задание не может быть поставлено в очередь");
}

void RegisterTaskCommands(CommandRegistry& registry) {
  for (const char* name : {"GETSIGN", "GETSIGN_ATT", "GET_XML_SIGN", "SIGN_HASH"})
    registry.Register(name, CommandMethod::kPost, CreateTask);
  for (const char* name : {"SIGN_SEDO_REQUEST", "SIGN_POVED_REQUEST"})
    registry.Register(name, CommandMethod::kPost, CreateFundRequestTask);
  registry.Register("DECRYPT", CommandMethod::kPost, CreateDecryptTask);
  for (const char* name : {"DECRYPT_SEDO_RESPONSE", "DECRYPT_FSS_RESPONSE", "DECRYPT_POVED_RESPONSE"})
    registry.Register(name, CommandMethod::kPost, CreateFundResponseTask);
  registry.Register("GETRESULT", CommandMethod::kGet, GetResult);
}

}  // namespace zuntar
