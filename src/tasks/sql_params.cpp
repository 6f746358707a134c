#include "tasks/sql_params.h"

#include <cctype>

namespace zuntar {

namespace {

bool IsNameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$'; }

// Index just past the quoted run that starts at `i` and is closed by
// `quote`; a doubled quote inside it is part of the run.
size_t SkipQuoted(const std::string& sql, size_t i, char quote) {
  for (++i; i < sql.size(); ++i) {
    if (sql[i] != quote) continue;
    if (i + 1 < sql.size() && sql[i + 1] == quote) {
      ++i;
      continue;
    }
    return i + 1;
  }
  return sql.size();
}

size_t SkipComment(const std::string& sql, size_t i) {
  if (sql.compare(i, 2, "--") == 0) {
    const size_t end = sql.find('\n', i);
    return end == std::string::npos ? sql.size() : end;
  }
  const size_t end = sql.find("*/", i + 2);
  return end == std::string::npos ? sql.size() : end + 2;
}

}  // namespace

PositionalSql ToPositional(const std::string& sql) {
  PositionalSql out;
  out.text.reserve(sql.size());
  size_t i = 0;
  while (i < sql.size()) {
    const char c = sql[i];
    size_t next = i + 1;
    if (c == '\'' || c == '"') {
      next = SkipQuoted(sql, i, c);
    } else if (sql.compare(i, 2, "--") == 0 || sql.compare(i, 2, "/*") == 0) {
      next = SkipComment(sql, i);
    } else if (c == ':' && i + 1 < sql.size() && IsNameStart(sql[i + 1])) {
      size_t end = i + 1;
      while (end < sql.size() && IsNameChar(sql[end])) ++end;
      std::string name = sql.substr(i + 1, end - i - 1);
      for (char& ch : name) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      out.names.push_back(std::move(name));
      out.text += '?';
      i = end;
      continue;
    }
    out.text.append(sql, i, next - i);
    i = next;
  }
  return out;
}

}  // namespace zuntar
