#include "http/origin_guard.h"

#include "core/log.h"
#include "core/process_values.h"
#include "core/utf.h"
#include "platform/user_prompt.h"

namespace zuntar {
namespace {

std::string ConsentLogLine(const std::string& origin, const char* what_utf8) {
  return AnsiFromUtf8("Сайт ") + origin + AnsiFromUtf8(what_utf8);
}

}  // namespace

std::string RefusalReason(OriginVerdict verdict) {
  switch (verdict) {
    case OriginVerdict::kNotListed:
      return AnsiFromUtf8("нет в ALLOWEDORIGINS, CONFIRMORIGINS=0");
    case OriginVerdict::kNotAnOrigin:
      return AnsiFromUtf8("не адрес сайта");
    case OriginVerdict::kDenied:
      return AnsiFromUtf8("запрещён пользователем");
    case OriginVerdict::kNoDesktop:
      return AnsiFromUtf8("нет рабочего стола пользователя, спросить некого");
    case OriginVerdict::kNoAnswer:
      return AnsiFromUtf8("пользователь не ответил");
    case OriginVerdict::kAllowed:
      break;
  }
  return {};
}

std::string AdmittingSetting(const std::string& origin) {
  return "ALLOWEDORIGINS=" + TaskOwnerOf(origin).value_or(origin);
}

TOriginGuard::TOriginGuard(const Settings& settings, OriginConsentFile consents)
    : list_(settings.ALLOWEDORIGINS), confirm_(settings.CONFIRMORIGINS != 0), consents_(std::move(consents)) {}

OriginVerdict TOriginGuard::Check(const std::string& origin) {
  if (list_.Allows(origin)) return OriginVerdict::kAllowed;
  if (!confirm_) return OriginVerdict::kNotListed;
  const std::optional<std::string> canonical = CanonicalOrigin(origin);
  if (!canonical) return OriginVerdict::kNotAnOrigin;
  return Consent(*canonical);
}

bool TOriginGuard::MayAdmit(const std::string& origin) {
  if (list_.Allows(origin)) return true;
  const std::optional<std::string> canonical = CanonicalOrigin(origin);
  if (!confirm_ || !canonical) return false;
  {
    MutexLock lock(mu_);
    if (this_time_.contains(*canonical)) return true;
  }
  const std::optional<OriginConsent> remembered = consents_.Find(*canonical);
  if (remembered) return *remembered == OriginConsent::kAllowAlways;
  return CurrentUserPrompt().Interactive();
}

void TOriginGuard::LogPolicy(const Settings& settings, const std::string& config_file) const {
  for (const std::string& line : settings.UnreadOriginLines) LogError(config_file + ": not read as written: " + line);
  if (list_.AllowsEvery()) {
    LogEvent("Web sites admitted to the keys: every site (ALLOWEDORIGINS=*)");
    LogError("Warning: ALLOWEDORIGINS=* lets any web site the user opens use the keys (sign, decrypt, list the "
             "certificates, read the tasks and the log); list the sites of the document exchange instead");
    return;
  }
  std::string listed;
  for (const std::string& entry : list_.Entries()) listed += (listed.empty() ? "" : " ") + entry;
  std::string others;
  if (!confirm_)
    others = "refused (CONFIRMORIGINS=0)";
  else if (CurrentUserPrompt().Interactive())
    others = "asked once at the desktop (CONFIRMORIGINS=1, a desktop is there)";
  else
    others = "refused, nobody to ask (CONFIRMORIGINS=1, no desktop)";
  LogEvent("Web sites admitted to the keys (ALLOWEDORIGINS): " + (listed.empty() ? "none" : listed) +
           "; other sites: " + others);
}

OriginVerdict TOriginGuard::Consent(const std::string& origin) {
  std::shared_ptr<Question> question;
  {
    MutexLock lock(mu_);
    if (this_time_.contains(origin)) return OriginVerdict::kAllowed;
    if (auto it = asking_.find(origin); it != asking_.end()) {
      // Another request of this origin is asking: its answer is ours too.
      question = it->second;
      while (!question->answered) answered_.Wait(mu_);
      return question->verdict;
    }
    // Read on every request: the settings window or another instance may
    // have revoked a decision since.
    if (const std::optional<OriginConsent> remembered = consents_.Find(origin))
      return *remembered == OriginConsent::kAllowAlways ? OriginVerdict::kAllowed : OriginVerdict::kDenied;
    question = std::make_shared<Question>();
    asking_.emplace(origin, question);
  }
  const OriginVerdict verdict = Ask(origin);
  MutexLock lock(mu_);
  if (verdict == OriginVerdict::kAllowed) this_time_.insert(origin);
  asking_.erase(origin);
  question->verdict = verdict;
  question->answered = true;
  answered_.NotifyAll();
  return verdict;
}

OriginVerdict TOriginGuard::Ask(const std::string& origin) {
  UserPrompt& prompt = CurrentUserPrompt();
  if (!prompt.Interactive()) return OriginVerdict::kNoDesktop;
  const OriginConsent answer = prompt.AskOriginConsent(origin);
  if (answer == OriginConsent::kAllowAlways || answer == OriginConsent::kDeny) {
    try {
      consents_.Remember(origin, answer);
    } catch (const std::exception& e) {
      // The answer still holds for this request (and "always" for the run).
      LogError(ConsentLogLine(origin, ": решение пользователя не сохранено: ") + e.what());
    }
  }
  switch (answer) {
    case OriginConsent::kAllowAlways:
      LogEvent(ConsentLogLine(origin, " допущен к ключам пользователем (всегда)"));
      return OriginVerdict::kAllowed;
    case OriginConsent::kAllowOnce:
      LogEvent(ConsentLogLine(origin, " допущен к ключам пользователем (в этот раз)"));
      return OriginVerdict::kAllowed;
    case OriginConsent::kDeny:
      return OriginVerdict::kDenied;
    case OriginConsent::kNoAnswer:
      break;
  }
  return OriginVerdict::kNoAnswer;
}

}  // namespace zuntar
