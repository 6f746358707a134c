// The parameters of a request's query string, read the way every command
// reads them: "&" separates the entries, an entry's name is the text before
// its first "=" (names compare without regard to case), its value the text
// after it, neither trimmed nor percent-decoded.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zuntar {

class QueryParams {
 public:
  QueryParams() = default;
  explicit QueryParams(std::string_view query);

  // Whether an entry carries the name (with "=", the value may be empty).
  bool Has(std::string_view name) const;
  // The value of the first entry with the name; empty when none has it.
  std::string Value(std::string_view name) const;
  // Whether an entry is exactly `text` (compared without regard to case),
  // such as a flag written without "=".
  bool HasEntry(std::string_view text) const;

  const std::vector<std::string>& entries() const { return entries_; }

 private:
  const std::string* Find(std::string_view name) const;

  std::vector<std::string> entries_;
};

// The entries of a query string: "&", CR, LF and CR LF each end one.
QueryParams ParseParams(std::string_view query);

}  // namespace zuntar
