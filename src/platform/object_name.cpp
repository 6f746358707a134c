#include "platform/object_name.h"

#include <cstdint>
#include <cstdio>

namespace zuntar {
namespace {

bool IsSafe(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
         c == '_';
}

}  // namespace

uint64_t Fnv1a(std::string_view text) {
  uint64_t h = 14695981039346656037ull;
  for (const char c : text) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ull;
  }
  return h;
}

std::string EscapeObjectName(std::string_view name) {
  std::string out;
  for (const char c : name) {
    if (IsSafe(c)) {
      out += c;
    } else {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", static_cast<unsigned char>(c));
      out += buf;
    }
  }
  // A leading '.' would hide the file and "." or ".." are not names at all.
  if (!out.empty() && out.front() == '.') out.replace(0, 1, "%2E");
  if (out.size() > 200) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "~%016llx", static_cast<unsigned long long>(Fnv1a(name)));
    out = out.substr(0, 180) + buf;
  }
  return out;
}

}  // namespace zuntar
