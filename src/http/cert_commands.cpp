#include "http/cert_commands.h"

#include <algorithm>
#include <cstdio>

#include "certs/cert_text.h"
#include "certs/dn_string.h"
#include "core/log.h"
#include "core/process_values.h"
#include "core/settings.h"
#include "core/string_list.h"
#include "core/utf.h"
#include "crypto/cert_identity.h"
#include "crypto/cert_lookup.h"
#include "crypto/cert_manager_instance.h"
#include "http/cert_list.h"
#include "http/http_access.h"
#include "http/query_params.h"
#include "http/reply.h"
#include "tasks/key_media.h"

namespace zuntar {
namespace {

constexpr char kCrLf[] = "\r\n";

std::string ErrorEnvelope(const std::string& text) { return MakeReply(false, "", {text}); }
std::string SuccessEnvelope() { return MakeReply(true, "", {}); }

// Without the manager Start creates, nothing here can answer: the reply
// says why, as PING does.
std::shared_ptr<TVCertMgr> ManagerOrReply(const CommandContext& c, std::string& body) {
  std::shared_ptr<TVCertMgr> manager = c.plugin.certificate_manager.Get();
  if (manager == nullptr) {
    const std::string status = CSPStatus();
    body = ErrorEnvelope(status.empty() ? AnsiFromUtf8("Менеджер сертификатов не создан") : status);
  }
  return manager;
}

int EnumCerts(CommandContext& c, bool personal, CertListCache& cache) {
  const DateTime now = Now();
  const CertListRequest request = CertListRequestOf(c.request.query, personal);
  const std::shared_ptr<TVCertMgr> manager = ManagerOrReply(c, c.buffer);
  if (manager == nullptr) return 200;
  TStringList bodies;
  if (personal) {
    manager->EnumPersonal(bodies);
  } else {
    manager->EnumAll(bodies);
  }
  const CertListing listing = ListCertificates(*manager, request, bodies.TakeTexts(), now, &cache);
  c.buffer = CertListReply(listing);
  if (LogLevel() > 1) {
    // The first letter is the Cyrillic En, as the event has always been written.
    const std::string event = AnsiFromUtf8("Н") + "andleEnumCerts," + request.inn;
    LogEvent(listing.listed.empty() ? event + ",certificates not founded"
                                    : event + ",count=" + std::to_string(listing.listed.size()));
  }
  return 200;
}

// The certificate a query names: CertSN (in the current user's personal
// store) wins over CertThumb. `named` is false when neither is given.
struct NamedCertificate {
  bool named = false;
  bool by_serial = false;
  std::string id;  // the serial number or thumbprint searched for
  PCCERT_CONTEXT cert;
};

NamedCertificate FindNamedCertificate(std::string_view query) {
  const QueryParams params(query);
  NamedCertificate found;
  found.named = params.Has("CertSN") || params.Has("CertThumb");
  if (!found.named) return found;
  const std::string serial = params.Value("CertSN");
  if (!serial.empty()) {
    found.by_serial = true;
    found.id = NormalizeSerial(serial);
    found.cert = FindStoreCertBySerial(found.id, true);
    return found;
  }
  found.id = NormalizeSerial(params.Value("CertThumb"));
  if (!found.id.empty()) found.cert = FindCertByThumbprint(HexToBytes(found.id));
  return found;
}

const char kNoCertificateNamed[] = "Не указан SN (или Thumbprint) сертификата";

int GetCertBody(CommandContext& c) {
  if (ManagerOrReply(c, c.buffer) == nullptr) return 200;
  const NamedCertificate found = FindNamedCertificate(c.request.query);
  if (!found.named) {
    c.buffer = ErrorEnvelope(AnsiFromUtf8(kNoCertificateNamed));
  } else if (found.cert != nullptr) {
    c.buffer = MakeReply(true, CertBodyOf(found.cert), {});
  } else {
    c.buffer = ErrorEnvelope(AnsiFromUtf8("сертификат с ") +
                             (found.by_serial ? "SN: " : AnsiFromUtf8("отпечатком: ")) + found.id +
                             AnsiFromUtf8(" не найден"));
  }
  return 200;
}

int CheckCertByName(CommandContext& c) {
  if (ManagerOrReply(c, c.response.body) == nullptr) return 200;
  const NamedCertificate found = FindNamedCertificate(c.request.query);
  if (!found.named) {
    c.response.body = ErrorEnvelope(AnsiFromUtf8(kNoCertificateNamed));
  } else if (found.cert == nullptr) {
    c.response.body = ErrorEnvelope(AnsiFromUtf8("сертификат не найден"));
  } else if (CertHasKeyContainer(found.cert)) {
    c.response.body = SuccessEnvelope();
  } else {
    c.response.body = ErrorEnvelope(AnsiFromUtf8("ключевой носитель не найден"));
  }
  return 200;
}

// A text body (no byte below 9) is PEM or bare Base64; anything else DER.
Bytes CertificateOfBody(const std::string& body) {
  const bool text = std::none_of(body.begin(), body.end(), [](char ch) { return static_cast<unsigned char>(ch) < 9; });
  return text ? CertBodyFromPem(body) : body;
}

// The key-media question for a check. Only the person at this machine is
// asked: a page served to another machine must not put a question on this
// user's desktop, so for it the answer is Cancel.
bool AskForCertificateKey(const CommandContext& c, const VCERT_INFO& info) {
  const std::string serial = NormalizeSerial(info.SerialNumber);
  if (!IsLocalPeer(c.request.peer_ip)) {
    LogEvent(AnsiFromUtf8("Запрос ключевого носителя от удалённого абонента отклонён, IP=") + c.request.peer_ip +
             ", SN: " + serial);
    return false;
  }
  return RequestKeyMediaForCert(serial, CertCheckPromptText(info), c.plugin.providers.Get());
}

int CheckCertBody(CommandContext& c) {
  const std::shared_ptr<TVCertMgr> manager = ManagerOrReply(c, c.response.body);
  if (manager == nullptr) return 200;
  const Bytes body = CertificateOfBody(c.request.body);
  const PCCERT_CONTEXT cert = DecodeCertificate(body);
  if (cert == nullptr) {
    c.response.body = ErrorEnvelope(Startup().IsCP1251
                                        ? AnsiFromUtf8("Переданные данные не являются сертификатом безопасности")
                                        : "Invalid cert body");
    return 200;
  }
  if (CertHasKeyContainer(cert)) {
    c.response.body = SuccessEnvelope();
    return 200;
  }
  VCERT_INFO info;
  manager->GetCertInfo(body, VCERT_INFO_SERIAL | VCERT_INFO_SUBJECT | VCERT_INFO_NOT_BEFORE | VCERT_INFO_THUMBPRINT,
                       info);
  const bool found = AskForCertificateKey(c, info);
  manager->FreeCertInfo(info);
  c.response.body = found ? SuccessEnvelope() : ErrorEnvelope(AnsiFromUtf8("ключевой носитель не найден"));
  return 200;
}

std::string IssueDate(int64_t seconds) {
  const CalendarTime t = DecodeDateTime(LocalFromUnixSeconds(seconds));
  char text[32];
  std::snprintf(text, sizeof text, "%02d.%02d.%04d", t.day, t.month, t.year);
  return text;
}

}  // namespace

std::string CertCheckPromptText(const VCERT_INFO& info) {
  std::string holder = GetDNAttribute(info.SubjectName, "O");
  if (holder.empty()) holder = GetDNAttribute(info.SubjectName, "CN");
  auto ru = [](const char* utf8) { return Cp1251FromUtf8(utf8); };
  std::string m = ru("Для продождения работы необходимо установить ключевой носитель,") + kCrLf;
  m += ru("соответствующий сертификату ключа: ") + kCrLf;
  m += ru(" - владелец: ") + Cp1251FromUtf8(Utf8FromAnsi(holder)) + kCrLf;
  m += ru(" - дата выпуска: ") + IssueDate(info.NotBefore) + kCrLf;
  m += ru(" - серийный номер: ") + info.SerialNumber + kCrLf;
  m += ru(" - отпечаток: ") + BytesToHex(info.Thumbprint) + kCrLf;
  m += kCrLf;  // an empty line
  m += KeyMediaInstructions();
  return m;
}

void RegisterCertificateCommands(CommandRegistry& registry) {
  // The listings share the facts of the certificates they have read.
  auto cache = std::make_shared<CertListCache>();
  registry.Register("ENUMCERTS", CommandMethod::kGet, [cache](CommandContext& c) { return EnumCerts(c, true, *cache); });
  registry.Register("ENUMALLCERTS", CommandMethod::kGet,
                    [cache](CommandContext& c) { return EnumCerts(c, false, *cache); });
  registry.Register("GETCERTBODY", CommandMethod::kGet, GetCertBody);
  registry.Register("CHECKCERTANDCLUE", CommandMethod::kGet, CheckCertByName);
  registry.Register("CHECKCERTANDCLUE", CommandMethod::kPost, CheckCertBody);
}

}  // namespace zuntar
