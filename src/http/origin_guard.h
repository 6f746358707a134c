// Which web pages may use the user's keys.
//
// The plugin answers pages in the user's browser, and a page of any site the
// user visits reaches it from this machine. Commands that use the keys or
// show certificates, tasks or the log therefore answer only pages whose
// origin the administrator listed (ALLOWEDORIGINS; "*" lists every origin)
// or, with CONFIRMORIGINS, the person allowed: the first request of an
// undecided origin asks at the desktop, "always" and "deny" are remembered
// for the user, and "this time" holds while this front end runs. Without a
// desktop nobody can be asked, and undecided origins are refused.
//
// Requests without an Origin header come from programs, not pages: they are
// not restricted.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>

#include "core/settings.h"
#include "http/origin_list.h"
#include "platform/origin_consent_file.h"
#include "platform/thread_annotations.h"

namespace zuntar {

enum class OriginVerdict {
  kAllowed,
  kNotListed,    // not in ALLOWEDORIGINS, and CONFIRMORIGINS is 0
  kNotAnOrigin,  // not "scheme://host[:port]": nobody can be asked about it
  kDenied,       // the person said "deny", now or before
  kNoDesktop,    // undecided, and nobody to ask
  kNoAnswer,     // the question was closed or cancelled
};

// The reason of a refusal for the log, in the ANSI code page.
std::string RefusalReason(OriginVerdict verdict);
// The setting that admits `origin` without a question, for the log:
// "ALLOWEDORIGINS=<origin>".
std::string AdmittingSetting(const std::string& origin);

class TOriginGuard {
 public:
  explicit TOriginGuard(const Settings& settings, OriginConsentFile consents = OriginConsentFile());

  // The reply to this origin names it in Access-Control-Allow-Origin instead
  // of "*": the administrator listed it by name.
  bool NamesOrigin(const std::string& origin) const { return !list_.AllowsEvery() && list_.Allows(origin); }
  const OriginList& list() const { return list_; }

  // Whether a page of `origin` may use a command that needs the keys. May
  // ask the person and wait for the answer; several requests of one
  // undecided origin share one question.
  OriginVerdict Check(const std::string& origin);
  // Whether Check may admit `origin`, without asking: listed, or one the
  // person allowed or can still be asked about.
  bool MayAdmit(const std::string& origin);

  // Log lines that say who may use the keys: the listed sites, whether the
  // others are asked and whether a desktop is there to ask, a warning for
  // "*", and the lines of `settings` naming these keys that were not read.
  void LogPolicy(const Settings& settings, const std::string& config_file) const;

 private:
  // Shared by the requests of one origin; under mu_.
  struct Question {
    bool answered = false;
    OriginVerdict verdict = OriginVerdict::kNoAnswer;
  };

  OriginVerdict Consent(const std::string& origin);
  OriginVerdict Ask(const std::string& origin);

  const OriginList list_;
  const bool confirm_;
  OriginConsentFile consents_;

  Mutex mu_;
  CondVar answered_;
  std::set<std::string> this_time_ GUARDED_BY(mu_);  // allowed until the front end ends
  std::map<std::string, std::shared_ptr<Question>> asking_ GUARDED_BY(mu_);
};

}  // namespace zuntar
