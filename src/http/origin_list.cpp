#include "http/origin_list.h"

#include <algorithm>
#include <cctype>

namespace zuntar {
namespace {

bool IsAlpha(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool ValidScheme(std::string_view s) {
  if (s.empty() || !IsAlpha(s[0])) return false;
  return std::all_of(s.begin(), s.end(), [](char c) { return IsAlpha(c) || IsDigit(c) || c == '+' || c == '-' || c == '.'; });
}

bool ValidHost(std::string_view h) {
  if (h.empty()) return false;
  if (h.front() == '[') {
    return h.size() > 2 && h.back() == ']' &&
           std::all_of(h.begin() + 1, h.end() - 1,
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.'; });
  }
  return std::all_of(h.begin(), h.end(), [](char c) { return IsAlpha(c) || IsDigit(c) || c == '.' || c == '-' || c == '_'; });
}

// The port text without leading zeros; nothing when it is not 0..65535.
std::optional<std::string> ValidPort(std::string_view p) {
  if (p.empty() || p.size() > 5 || !std::all_of(p.begin(), p.end(), IsDigit)) return std::nullopt;
  const long value = std::stol(std::string(p));
  if (value > 65535) return std::nullopt;
  return std::to_string(value);
}

std::string_view Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::optional<std::string> CanonicalOrigin(std::string_view text) {
  const size_t sep = text.find("://");
  if (sep == std::string_view::npos || !ValidScheme(text.substr(0, sep))) return std::nullopt;
  const std::string scheme = Lower(text.substr(0, sep));
  std::string_view rest = text.substr(sep + 3);
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  // The port follows the last ':' after an IPv6 host's closing bracket.
  const size_t bracket = rest.rfind(']');
  const size_t colon = rest.rfind(':');
  std::string_view host = rest;
  std::optional<std::string> port;
  if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
    host = rest.substr(0, colon);
    port = ValidPort(rest.substr(colon + 1));
    if (!port) return std::nullopt;
  }
  if (!ValidHost(host)) return std::nullopt;
  std::string out = scheme + "://" + Lower(host);
  const bool default_port = (scheme == "http" && port == "80") || (scheme == "https" && port == "443");
  if (port && !default_port) out += ":" + *port;
  return out;
}

std::optional<std::string> TaskOwnerOf(const std::optional<std::string>& origin_header) {
  if (!origin_header) return std::nullopt;
  return CanonicalOrigin(*origin_header).value_or(*origin_header);
}

OriginList::OriginList(std::string_view setting) {
  size_t start = 0;
  while (start <= setting.size()) {
    size_t end = setting.find(';', start);
    if (end == std::string_view::npos) end = setting.size();
    const std::string_view entry = Trimmed(setting.substr(start, end - start));
    start = end + 1;
    if (entry.empty()) continue;
    if (entry == "*") {
      every_ = true;
    } else if (std::optional<std::string> origin = CanonicalOrigin(entry)) {
      origins_.insert(*origin);
    } else {
      origins_.emplace(entry);
      unusual_.emplace_back(entry);
    }
  }
}

bool OriginList::Allows(std::string_view origin) const {
  if (every_ || origins_.contains(origin)) return true;
  const std::optional<std::string> canonical = CanonicalOrigin(origin);
  return canonical && origins_.contains(*canonical);
}

}  // namespace zuntar
