#include "http/query_params.h"

#include "core/text.h"

namespace zuntar {

QueryParams::QueryParams(std::string_view query) {
  // The text becomes lines, as a line list takes it: a break at the very
  // end adds no empty entry.
  std::string entry;
  for (size_t i = 0; i < query.size(); ++i) {
    const char c = query[i];
    if (c != '&' && c != '\r' && c != '\n') {
      entry += c;
      continue;
    }
    if (c == '\r' && i + 1 < query.size() && query[i + 1] == '\n') ++i;
    entries_.push_back(std::move(entry));
    entry.clear();
  }
  if (!entry.empty()) entries_.push_back(std::move(entry));
}

const std::string* QueryParams::Find(std::string_view name) const {
  for (const std::string& e : entries_) {
    const size_t eq = e.find('=');
    if (eq != std::string::npos && SameText(std::string_view(e).substr(0, eq), name)) return &e;
  }
  return nullptr;
}

bool QueryParams::Has(std::string_view name) const { return Find(name) != nullptr; }

std::string QueryParams::Value(std::string_view name) const {
  const std::string* e = Find(name);
  return e == nullptr ? std::string() : e->substr(e->find('=') + 1);
}

bool QueryParams::HasEntry(std::string_view text) const {
  for (const std::string& e : entries_)
    if (SameText(e, text)) return true;
  return false;
}

QueryParams ParseParams(std::string_view query) { return QueryParams(query); }

}  // namespace zuntar
