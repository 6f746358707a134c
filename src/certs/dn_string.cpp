#include "certs/dn_string.h"

#include "core/text.h"
#include "core/utf.h"
#include "platform/capi/cert/cert_name.h"

namespace zuntar {
namespace {

struct DnLabel {
  const char* oid;
  const char* separator;
  bool in_issuer;
};

constexpr DnLabel kDnLabels[] = {
    {"2.5.4.10", ",O=", true},
    {"2.5.4.7", ",L=", true},
    {"2.5.4.8", ",ST=", true},
    {"2.5.4.11", ",OU=", true},
    {"2.5.4.6", ",C=", true},
    {"2.5.4.12", ",T=", true},
    {"2.5.4.4", ",SN=", true},
    {"2.5.4.42", ",GN=", true},
    {"1.2.840.113549.1.9.1", ",E=", true},
    {"1.2.643.3.131.1.1", ",INN=", true},
    {"1.2.643.100.4", ",INNLE=", false},
    {"1.2.643.3.141.1.1", ",RNS-FSS=", false},
    {"1.2.643.3.141.1.2", ",KP-FSS=", false},
    {"1.2.643.100.1", ",OGRN=", true},
    {"1.2.643.100.5", ",OGRNIP=", true},
    {"1.2.643.100.3", ",SNILS=", true},
    {"2.5.4.9", ",streetAddress=", true},
    {"1.2.840.113549.1.9.2", ",unstructuredName=", true},
};

// Values are read into a buffer of this many UTF-16 units; the name routine
// cuts longer ones.
constexpr DWORD kNameBufferUnits = 2098;

std::string NameValue(const PCCERT_CONTEXT& context, DWORD type, DWORD flags, const char* oid) {
  char16_t buffer[kNameBufferUnits];
  const DWORD n = CertGetNameStringW(context, type, flags, oid, buffer, kNameBufferUnits);
  return n > 1 ? AnsiFromWide(std::u16string_view(buffer, n - 1)) : std::string();
}

bool IsUnstructuredName(std::string_view name) {
  return name == "unstructuredName" || name == "1.2.840.113549.1.9.2";
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string CertDNString(const PCCERT_CONTEXT& context, bool issuer) {
  const DWORD flags = issuer ? CERT_NAME_ISSUER_FLAG : 0;
  std::string out = "CN=" + NameValue(context, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr);
  for (const DnLabel& label : kDnLabels) {
    if (issuer && !label.in_issuer) continue;
    const std::string value = NameValue(context, CERT_NAME_ATTR_TYPE, flags, label.oid);
    if (!value.empty()) out.append(label.separator).append(value);
  }
  return out;
}

std::string GetDNAttribute(std::string_view dn, std::string_view key) {
  std::string_view result;
  std::string_view rest = dn;
  while (!rest.empty()) {
    const size_t eq = rest.find('=');
    if (eq == std::string_view::npos) break;
    std::string_view name = rest.substr(0, eq);
    const size_t comma = name.rfind(',');
    if (comma != std::string_view::npos) name.remove_prefix(comma + 1);
    name = TrimmedView(name);
    rest.remove_prefix(eq + 1);
    if (name != key) continue;
    if (IsUnstructuredName(name)) {
      result = rest.substr(0, rest.find(','));
    } else {
      // Up to the last comma before the next label's "=": the value may
      // itself hold commas.
      const size_t next_eq = rest.find('=');
      if (next_eq == std::string_view::npos) {
        result = rest;
      } else {
        const size_t last_comma = rest.substr(0, next_eq).rfind(',');
        result = last_comma == std::string_view::npos ? std::string_view() : rest.substr(0, last_comma);
      }
    }
    break;
  }
  return DecodeHexEscapes(result);
}

std::string DecodeHexEscapes(std::string_view text) {
  const size_t first = text.find("\\x");
  if (first == std::string_view::npos) return std::string(text);
  std::string bytes;
  bytes.reserve(text.size() - first);
  for (size_t i = first; i < text.size();) {
    // An escape needs its two digits inside the text.
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
      const int high = HexDigit(text[i + 2]);
      const int low = HexDigit(text[i + 3]);
      if (high >= 0 && low >= 0 && (high | low) != 0) bytes += static_cast<char>(high * 16 + low);
      i += 4;
    } else {
      bytes += text[i++];
    }
  }
  return std::string(text.substr(0, first)) + AnsiFromUtf8(bytes);
}

std::string SubjectPersonName(std::string_view subject_dn) {
  return Trim(GetDNAttribute(subject_dn, "SN") + " " + GetDNAttribute(subject_dn, "GN"));
}

std::string SubjectPersonNameOrCommonName(std::string_view subject_dn) {
  std::string name = SubjectPersonName(subject_dn);
  if (name.empty()) name = Trim(GetDNAttribute(subject_dn, "2.5.4.4") + " " + GetDNAttribute(subject_dn, "2.5.4.42"));
  if (name.empty()) name = GetDNAttribute(subject_dn, "CN");
  return name;
}

}  // namespace zuntar
