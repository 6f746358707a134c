// The web sites a person has decided about for good: allowed always or
// denied, one file per user in the user's data folder.
//
// Several processes change it (plugin instances, the settings window), so
// every change is a read-modify-write under an exclusive lock of a file
// beside it, and the new list goes to a temporary file renamed over the old
// one: a reader sees the old list or the new one whole, and no change is
// lost to another writer.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "platform/user_prompt.h"

namespace zuntar {

class OriginConsentFile {
 public:
  explicit OriginConsentFile(std::string file_name = DefaultFileName());

  // <user folder>/origin_consent
  static std::string DefaultFileName();
  const std::string& file_name() const { return file_name_; }

  // Every remembered origin with kAllowAlways or kDeny. A missing or
  // unreadable file remembers nothing; lines it cannot read are skipped.
  std::map<std::string, OriginConsent> Load() const;
  std::optional<OriginConsent> Find(const std::string& origin) const;

  // Remembers kAllowAlways or kDeny for `origin`, replacing an earlier
  // decision. Throws std::invalid_argument for another answer or an origin
  // that is empty or holds blanks or control characters, EFOpenError when
  // the file is there but cannot be read, EFCreateError when it cannot be
  // written.
  void Remember(const std::string& origin, OriginConsent consent);
  // Drops the origin's decision (it is asked again); false when there was
  // none. Throws like Remember.
  bool Forget(const std::string& origin);

 private:
  template <class Change>
  bool Update(Change change);

  std::string file_name_;
};

}  // namespace zuntar
