#include "tasks/task_execution.h"

#include <memory>

#include "certs/cert_text.h"
#include "core/log.h"
#include "core/process_values.h"
#include "core/text.h"
#include "core/utf.h"
#include "crypto/cert_identity.h"
#include "crypto/cert_lookup.h"
#include "crypto/cert_manager_instance.h"
#include "crypto/decoded_messages.h"
#include "crypto/fund_exchange.h"

namespace zuntar {
namespace {

bool IsFundResponse(int type) { return type == kTaskDecryptPovedResponse || type == kTaskDecryptSedoResponse; }

bool IsList(const std::string& names) { return names.find(';') != std::string::npos; }

Bytes BodyBySerial(const std::string& serial) {
  PCCERT_CONTEXT cert = FindStoreCertBySerial(serial, true);
  if (!cert) cert = FindStoreCertBySerial(serial, false);
  return CertBodyOf(cert);
}

Bytes BodyByThumbprint(const std::string& thumbprint) {
  return CertBodyOf(FindCertByThumbprint(HexToBytes(thumbprint)));
}

Bytes BodyOf(const std::string& name, bool by_thumbprint) {
  return by_thumbprint ? BodyByThumbprint(name) : BodyBySerial(name);
}

// The body of the first entry of a ";"-list that is at hand; empty when none.
Bytes FirstFound(const std::string& names, bool by_thumbprint) {
  for (const std::string& entry : SplitToList(names, ';')) {
    Bytes body = BodyOf(entry, by_thumbprint);
    if (!body.empty()) return body;
  }
  return {};
}

std::string NotFoundText(bool list, bool by_thumbprint, const std::string& names) {
  const char* what = list ? (by_thumbprint ? "Не удалось найти сертификаты с Thumbprint: " : "Не удалось найти сертификаты с SN: ")
                          : (by_thumbprint ? "Не удалось найти сертификат с Thumbprint: " : "Не удалось найти сертификат с SN: ");
  return AnsiFromUtf8(what) + names;
}

// Why a task that names no certificate cannot run.
std::string NoCertificateText(int type) {
  return AnsiFromUtf8(IsFundResponse(type) ? "Не указан сертификат для расшифрования"
                                           : "Не указан SN (или Thumbprint) сертификата для ЭП");
}

// A decryption that names no certificate: whether any recipient of its
// message has a certificate with a usable key here. When none has, the
// recipients' serial numbers are appended to CertSN.
bool CheckRecipients(TCryptoTask& task, std::string& message) {
  TDecodedEnvelopedMessage msg(task.InData);
  const DWORD count = msg.RecipientCount();
  const HCERTSTORE user = OpenCurrentUserStore();
  const HCERTSTORE machine = OpenLocalMachineStore(true);
  for (DWORD i = 0; i < count; ++i) {
    if (user && msg.FindRecipientCert(i, user)) return true;
    if (machine && msg.FindRecipientCert(i, machine)) return true;
  }
  message = AnsiFromUtf8("Не удалось найти сертификаты, пригодные для расшифрования зашифрованного сообщения");
  for (DWORD i = 0; i < count; ++i) {
    if (!task.CertSN.empty()) task.CertSN += ';';
    task.CertSN += NormalizeSerial(msg.RecipientSerial(i));
  }
  return false;
}

// Types 6 and 7 with a list: every certificate of the list in turn, until
// one decrypts. An entry that is not here, or fails, passes the turn on.
bool DecryptFundResponseWithList(TCryptoTask& task, TVCertMgr& manager, const std::string& names,
                                 bool by_thumbprint) {
  for (const std::string& entry : SplitToList(names, ';')) {
    const Bytes body = BodyOf(entry, by_thumbprint);
    if (body.empty()) continue;
    try {
      manager.SetCertificate(body);
      task.Result = DecryptFundResponse(task.InData, body);
      return !task.Result.empty();
    } catch (const std::exception& e) {
      task.Result.clear();
      LogDebug("task " + task.Id + ", certificate " + entry + ": " + e.what());
    }
  }
  return false;
}

}  // namespace

bool NamesCertificate(const TCryptoTask& task) { return !task.CertSN.empty() || !task.CertThumb.empty(); }

bool CheckTaskCertificate(TCryptoTask& task, std::string& message) {
  message.clear();
  if (NamesCertificate(task)) {
    const bool by_thumbprint = task.CertSN.empty();
    const std::string& names = by_thumbprint ? task.CertThumb : task.CertSN;
    if (IsList(names)) {
      if (!FirstFound(names, by_thumbprint).empty()) return true;
    } else if (Bytes body = BodyOf(names, by_thumbprint); !body.empty()) {
      task.CertBody = std::move(body);
      return true;
    }
    message = NotFoundText(IsList(names), by_thumbprint, names);
    return false;
  }
  if (task.TaskType == kTaskDecrypt) return CheckRecipients(task, message);
  message = NoCertificateText(task.TaskType);
  return false;
}

bool ExecuteTask(TCryptoTask& task, TVCertMgr& manager, SignatureAround* around) {
  task.Result.clear();
  const bool by_thumbprint = task.CertSN.empty();
  const std::string& names = by_thumbprint ? task.CertThumb : task.CertSN;
  const bool list = task.CertBody.empty() && IsList(names);
  const int type = task.TaskType;
  if (list && IsFundResponse(type)) return DecryptFundResponseWithList(task, manager, names, by_thumbprint);

  Bytes cert = task.CertBody;
  if (cert.empty() && !names.empty()) cert = list ? FirstFound(names, by_thumbprint) : BodyOf(names, by_thumbprint);
  // Without a certificate of its own a task would sign with whatever its
  // manager holds; only a decryption may look among the recipients instead.
  if (cert.empty() && type != kTaskDecrypt && type <= kTaskSignHash)
    throw Exception(names.empty() ? NoCertificateText(type) : NotFoundText(list, by_thumbprint, names));

  switch (type) {
    case kTaskDetachedSign:
      task.Result = manager.Sign(task.InData, cert, true, false);
      break;
    case kTaskAttachedSign:
      if (around != nullptr) {
        around->made = manager.SignAttachedAround(task.InData, cert, around->head, around->tail, around->head_known);
        if (around->made) return true;
        task.Result = manager.Sign(task.InData, cert, false, false);
        break;
      }
      // The message holds the input whole: it is made in the input's place.
      manager.SignAttachedInPlace(task.InData, cert);
      task.Result = std::move(task.InData);
      break;
    case kTaskXmlSign:
      manager.SetCertificate(cert);
      task.Result = SignXmlDocument(task.InData, cert);
      break;
    case kTaskPovedRequest:
    case kTaskSedoRequest:
      manager.SetCertificate(cert);
      task.Result = SignFundRequest(task.InData, cert);
      break;
    case kTaskDecrypt:
      task.Result = manager.Decrypt(task.InData, cert);
      break;
    case kTaskDecryptPovedResponse:
    case kTaskDecryptSedoResponse:
      manager.SetCertificate(cert);
      task.Result = DecryptFundResponse(task.InData, cert);
      break;
    case kTaskSignHash:
      manager.SignHash(task.InData, cert, task.Result);
      break;
    default:
      break;  // an unknown type does nothing
  }
  return !task.Result.empty();
}

bool ExecuteTask(TCryptoTask& task, const SharedCertManager& managers, SignatureAround* around) {
  const std::unique_ptr<TVCertMgr> manager = managers.NewTaskManager();
  if (!manager) {
    const std::string status = CSPStatus();
    throw Exception(AnsiFromUtf8("Менеджер сертификатов не создан") + (status.empty() ? "" : ": " + status));
  }
  return ExecuteTask(task, *manager, around);
}

bool IsMissingKeyError(const std::exception& e) {
  return std::string_view(e.what()).find("-2146885621") != std::string_view::npos;
}

std::string TaskExecutionFailedText() { return AnsiFromUtf8("Ошибка выполнения криптозадачи"); }

}  // namespace zuntar
