#include "http/http_message.h"

#include "core/text.h"

namespace zuntar {

void HttpResponse::SetHeader(const std::string& name, const std::string& value) {
  for (auto& [n, v] : headers) {
    if (SameText(n, name)) {
      v = value;
      return;
    }
  }
  headers.emplace_back(name, value);
}

const std::string* HttpResponse::Header(const std::string& name) const {
  for (const auto& [n, v] : headers)
    if (SameText(n, name)) return &v;
  return nullptr;
}

}  // namespace zuntar
