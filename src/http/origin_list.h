// Origins of web pages, and the administrator's list of those allowed to use
// the user's keys (ALLOWEDORIGINS).
//
// A page's requests name the site that served it in the Origin header
// ("https://edo.example.ru", "http://localhost:8080"). Administrators write
// origins by hand, so an entry is compared in its canonical form: scheme and
// host in lower case, the scheme's default port and a final '/' dropped.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace zuntar {

// The canonical form of "scheme://host[:port]" (an IPv6 host in brackets);
// nothing for any other text, the opaque origin "null" included.
std::optional<std::string> CanonicalOrigin(std::string_view text);

// The owner a task records for a request's Origin header: its canonical
// form, or the text itself when it is no origin. Nothing without the
// header: a program on the machine, whose tasks every admitted caller sees.
std::optional<std::string> TaskOwnerOf(const std::optional<std::string>& origin_header);

class OriginList {
 public:
  // `setting`: ';'-separated entries, blanks around them ignored; "*" lets
  // every origin. An entry that is not an origin matches its exact text
  // only (so "null" may be listed) and is reported by Unusual().
  explicit OriginList(std::string_view setting);

  bool AllowsEvery() const { return every_; }
  bool Allows(std::string_view origin) const;
  // The entries other than "*", canonical where they are origins.
  const std::set<std::string, std::less<>>& Entries() const { return origins_; }
  // Entries that are neither "*" nor an origin: likely mistakes worth a log line.
  const std::vector<std::string>& Unusual() const { return unusual_; }

 private:
  bool every_ = false;
  std::set<std::string, std::less<>> origins_;
  std::vector<std::string> unusual_;
};

}  // namespace zuntar
