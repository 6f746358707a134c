#include "core/text.h"

#include <cctype>
#include <charconv>

namespace zuntar {
namespace {

bool IsTrimmed(char c) { return static_cast<unsigned char>(c) <= ' '; }

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::vector<std::string> SplitByChar(std::string_view text, char sep) {
  std::vector<std::string> parts;
  if (text.empty()) return parts;
  size_t start = 0;
  for (;;) {
    const size_t pos = text.find(sep, start);
    parts.emplace_back(text.substr(start, pos == std::string_view::npos ? std::string_view::npos : pos - start));
    if (pos == std::string_view::npos) break;
    start = pos + 1;
  }
  return parts;
}

std::vector<std::string> SplitByString(std::string_view text, std::string_view sep) {
  constexpr size_t kLastElementLimit = 10000;
  if (sep.size() != 1) {
    if (text.empty()) return {};
    return {std::string(text.substr(0, kLastElementLimit))};
  }
  std::vector<std::string> parts = SplitByChar(text, sep[0]);
  if (!parts.empty() && parts.back().size() > kLastElementLimit) parts.back().resize(kLastElementLimit);
  return parts;
}

std::string NextToken(std::string& text, char sep) {
  bool quoted = false;
  size_t i = 0;
  for (; i < text.size(); ++i) {
    if (text[i] == '"') {
      quoted = !quoted;
    } else if (text[i] == sep && !quoted) {
      break;
    }
  }
  if (quoted) {
    // The quoted part never closed: nothing usable is left.
    return {};
  }
  std::string token = text.substr(0, i);
  text.erase(0, i < text.size() ? i + 1 : i);
  return token;
}

std::vector<std::string> SplitToList(std::string_view text, char sep) {
  std::vector<std::string> list;
  std::string rest(text);
  for (;;) {
    std::string token = NextToken(rest, sep);
    if (token.empty()) break;
    list.push_back(std::move(token));
  }
  return list;
}

std::string_view TrimmedView(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && IsTrimmed(text[b])) ++b;
  while (e > b && IsTrimmed(text[e - 1])) --e;
  return text.substr(b, e - b);
}

std::string Trim(std::string_view text) { return std::string(TrimmedView(text)); }

std::string PadLeft(std::string_view text, size_t length, char fill) {
  std::string trimmed = Trim(text);
  if (trimmed.size() >= length) return trimmed;
  return std::string(length - trimmed.size(), fill) + trimmed;
}

std::string IncludeTrailingBackslash(std::string_view path) {
  std::string out(path);
  if (out.empty() || out.back() != '/') out += '/';
  return out;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

std::string UpperCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = Upper(c);
  return out;
}

std::optional<int> ParseWholeNumber(std::string_view text) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  if (begin != end && *begin == '+') ++begin;  // from_chars takes '-' only
  if (begin == end || *begin == '+') return std::nullopt;
  int value = 0;
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

}  // namespace zuntar
