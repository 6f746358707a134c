#include "http/origin_guard.h"

#include "core/log.h"
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
      return "ALLOWEDORIGINS";
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

TOriginGuard::TOriginGuard(const Settings& settings, OriginConsentFile consents)
    : list_(settings.ALLOWEDORIGINS), confirm_(settings.CONFIRMORIGINS != 0), consents_(std::move(consents)) {}

OriginVerdict TOriginGuard::Check(const std::string& origin) {
  if (!list_.Allows(origin)) return OriginVerdict::kNotListed;
  if (!confirm_) return OriginVerdict::kAllowed;
  const std::optional<std::string> canonical = CanonicalOrigin(origin);
  if (!canonical) return OriginVerdict::kNotAnOrigin;
  return Consent(*canonical);
}

OriginVerdict TOriginGuard::Consent(const std::string& origin) {
  std::shared_ptr<Question> question;
  {
    std::unique_lock lock(mu_);
    if (this_time_.contains(origin)) return OriginVerdict::kAllowed;
    if (auto it = asking_.find(origin); it != asking_.end()) {
      // Another request of this origin is asking: its answer is ours too.
      question = it->second;
      answered_.wait(lock, [&] { return question->answered; });
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
  std::lock_guard lock(mu_);
  if (verdict == OriginVerdict::kAllowed) this_time_.insert(origin);
  asking_.erase(origin);
  question->verdict = verdict;
  question->answered = true;
  answered_.notify_all();
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
