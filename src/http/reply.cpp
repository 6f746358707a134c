#include "http/reply.h"

#include "core/base64.h"
#include "core/utf.h"

namespace zuntar {
namespace {

std::string StatusLines(bool status) {
  std::string out = "{\r\n\"Status\": ";
  out += status ? "true" : "false";
  out += ",\r\n";
  return out;
}

void AppendErrors(std::string& out, const std::vector<std::string>& errors) {
  out += "\"Errors\": [";
  bool first = true;
  for (const std::string& e : errors) {
    if (e.empty()) continue;
    if (!first) out += ',';
    first = false;
    out += '"';
    out += Utf8FromAnsi(JsonEscape(e));
    out += '"';
  }
  out += "]\r\n}";
}

}  // namespace

std::string JsonEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

std::string MakeReply(bool status, std::string_view data, const std::vector<std::string>& errors, bool as_is) {
  std::string out = StatusLines(status);
  out.reserve(out.size() + Base64EncodedSize(data.size()) + 64);
  out += "\"Data\": ";
  if (data.empty()) {
    out += "null";
  } else {
    out += '"';
    if (as_is) {
      out += data;
    } else {
      Base64EncodeAppend(out, data);
    }
    out += '"';
  }
  out += ",\r\n";
  AppendErrors(out, errors);
  return out;
}

std::string MakeListReply(bool status, const std::vector<std::string>* entries,
                          const std::vector<std::string>& errors) {
  if (entries == nullptr || entries->empty()) {
    std::string out = StatusLines(status);
    out += "\"Data\": null,\r\n";
    AppendErrors(out, errors);
    return out;
  }
  std::string out = ListReplyHead(status);
  for (size_t i = 0; i < entries->size(); ++i) {
    if (i > 0) out += ',';
    out += (*entries)[i];
  }
  out += ListReplyTail(errors);
  return out;
}

std::string ListReplyHead(bool status) { return StatusLines(status) + "\"Data\": [\r\n"; }

std::string ListReplyTail(const std::vector<std::string>& errors) {
  std::string out = "],\r\n";
  AppendErrors(out, errors);
  return out;
}

}  // namespace zuntar
