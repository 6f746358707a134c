#include "tasks/key_media.h"

#include <algorithm>

#include "certs/cert_text.h"
#include "certs/key_containers.h"
#include "core/log.h"
#include "core/process_values.h"
#include "core/text.h"
#include "core/utf.h"
#include "crypto/cert_identity.h"
#include "platform/user_prompt.h"

namespace zuntar {
namespace {

constexpr char kCrLf[] = "\r\n";

bool IsSigningTask(int task_type) { return (task_type >= 0 && task_type <= 4) || task_type == kTaskSignHash; }

// The fully qualified names of the containers reachable now, in the
// provider's order (without the unique names it appends).
std::vector<std::string> ContainerNames() {
  std::vector<std::string> names;
  EnumContainers(&names);
  for (std::string& name : names) name = name.substr(0, name.find('\0'));
  return names;
}

// How the wanted entries name a certificate: its plain serial number or its
// thumbprint; empty for a body that is not a certificate.
std::string CertificateId(const Bytes& cert_body, bool by_serial) {
  const PCCERT_CONTEXT cert = DecodeCertificate(cert_body);
  if (cert == nullptr) return {};
  return by_serial ? NormalizeSerial(CertSerialHex(cert)) : CertThumbprintHex(cert);
}

void Install(const ProviderState& providers, const std::string& container, const Bytes& cert_body,
             const std::string& id) {
  InstallCertificateForContainer(providers, container, cert_body);
  LogEvent(AnsiFromUtf8("Сертификат ") + id + AnsiFromUtf8(" установлен для ключевого контейнера ") + container);
}

// One search of every reachable container: each one whose certificate is
// wanted is installed and its entry struck off. True when any was.
bool InstallWanted(const ProviderState& providers, std::vector<std::string>& wanted, bool by_serial) {
  bool installed = false;
  for (const std::string& container : ContainerNames()) {
    if (wanted.empty()) break;
    const Bytes body = GetContainerCertificate(container);
    if (body.empty()) continue;
    const std::string id = CertificateId(body, by_serial);
    if (id.empty()) continue;
    const auto entry =
        std::find_if(wanted.begin(), wanted.end(), [&](const std::string& e) { return SameText(e, id); });
    if (entry == wanted.end()) continue;
    Install(providers, container, body, id);
    wanted.erase(entry);
    installed = true;
  }
  return installed;
}

std::string Joined(const std::vector<std::string>& entries) {
  std::string out;
  for (const std::string& e : entries) out += (out.empty() ? "" : ";") + e;
  return out;
}

}  // namespace

WantedCertificates WantedCertificatesOf(const TCryptoTask& task) {
  WantedCertificates wanted;
  wanted.by_serial = !task.CertSN.empty();
  wanted.entries = SplitToList(wanted.by_serial ? task.CertSN : task.CertThumb, ';');
  return wanted;
}

std::string KeyMediaSearchButtonName() { return Startup().IsCP1251 ? kKeyMediaSearchButton : "Ok"; }

std::string KeyMediaInstructions() {
  std::string m = Cp1251FromUtf8("Пожалуйста, установите в Ваш компьютер ключевой носитель (или носители)") + kCrLf;
  m += Cp1251FromUtf8("на которых может находиться нужный ключ!") + kCrLf + kCrLf;
  m += Cp1251FromUtf8("Нажмите кнопку \"" + KeyMediaSearchButtonName() +
                      "\" для автоматического поиска ключа на доступных") +
       kCrLf;
  m += Cp1251FromUtf8("ключевых носителях или кнопку \"Отмена\" - для отмены выполнения операции.");
  return m;
}

std::string KeyMediaMessage(int task_type, const WantedCertificates& wanted) {
  std::string m = Cp1251FromUtf8("Запрашиваемая криптографическая операция ") +
                  Cp1251FromUtf8(IsSigningTask(task_type) ? "установки ЭП" : "расшифрования") +
                  Cp1251FromUtf8(" не может") + kCrLf;
  m += Cp1251FromUtf8("быть выполнена без установленного сертификата ключа с ") +
       Cp1251FromUtf8(wanted.by_serial ? "SN:" : "отпечатком") + kCrLf;
  for (const std::string& entry : wanted.entries) m += entry + kCrLf;
  m += kCrLf;
  m += KeyMediaInstructions();
  return m;
}

bool AskForKeyMedia(const std::string& message, const std::string& subject) {
  UserPrompt& prompt = CurrentUserPrompt();
  if (!prompt.Interactive()) {
    LogEvent(AnsiFromUtf8("Нет рабочего стола пользователя: запрос ключевого носителя отменён, ") + subject);
    return false;
  }
  const std::string text = Utf8FromWide(WideFromCp1251(message));
  if (Startup().IsCP1251) return prompt.Confirm(kKeyMediaCaption, text, kKeyMediaSearchButton, kKeyMediaCancelButton);
  return prompt.ConfirmOkCancel(kKeyMediaCaption, text);
}

bool RequestKeyMedia(const TCryptoTask& task, const ProviderState& providers) {
  WantedCertificates wanted = WantedCertificatesOf(task);
  if (wanted.entries.empty()) return false;
  const std::string message = KeyMediaMessage(task.TaskType, wanted);
  const std::string subject = (wanted.by_serial ? "SN: " : "Thumbprint: ") + Joined(wanted.entries);
  for (;;) {
    if (!AskForKeyMedia(message, subject)) return false;
    if (InstallWanted(providers, wanted.entries, wanted.by_serial)) return true;
  }
}

bool RequestKeyMediaForCert(const std::string& serial, const std::string& message, const ProviderState& providers) {
  for (;;) {
    if (!AskForKeyMedia(message, "SN: " + serial)) return false;
    for (const std::string& container : ContainerNames()) {
      const Bytes body = GetContainerCertificate(container);
      if (body.empty()) continue;
      const std::string id = CertificateId(body, true);
      if (id.empty() || !SameText(id, serial)) continue;
      Install(providers, container, body, id);
      return true;
    }
  }
}

}  // namespace zuntar
