// Reads attributes out of arbitrary distinguished-name strings, then
// builds a string the way the program lists a certificate (values without
// "=" or escapes, so they may hold commas and blanks) and requires every
// value back exactly; \x escapes of arbitrary bytes decode like the bytes
// read as UTF-8.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "certs/dn_string.h"
#include "core/utf.h"

namespace zuntar {
namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

constexpr std::string_view kLabels[] = {"O",     "L",      "ST",     "OU",    "C",     "T",
                                        "SN",    "GN",     "E",      "INN",   "INNLE", "RNS-FSS",
                                        "KP-FSS", "OGRN",  "OGRNIP", "SNILS", "streetAddress", "unstructuredName"};

std::vector<std::string> Pieces(std::string_view text) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\n') {
      pieces.emplace_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return pieces;
}

// A value as a certificate may give it: anything but "=" and the escape
// character; unstructuredName's own value ends at its first comma.
std::string ValueOf(std::string piece, bool unstructured) {
  for (char& c : piece) {
    if (c == '=') c = '-';
    if (c == '\\') c = '/';
    if (unstructured && c == ',') c = ';';
  }
  return piece;
}

void ArbitraryString(std::string_view dn) {
  for (std::string_view label : kLabels) {
    const std::string value = GetDNAttribute(dn, label);
    if (dn.find("\\x") == std::string_view::npos) Check(dn.find(value) != std::string_view::npos);
  }
  GetDNAttribute(dn, "CN");
  GetDNAttribute(dn, "1.2.840.113549.1.9.2");
  GetDNAttribute(dn, dn.substr(0, dn.find('=')));
  SubjectPersonNameOrCommonName(dn);
  const std::string decoded = DecodeHexEscapes(dn);
  if (dn.find("\\x") == std::string_view::npos) Check(decoded == dn);
}

void BuiltString(std::string_view text) {
  const std::vector<std::string> pieces = Pieces(text);
  const std::string cn = ValueOf(pieces[0], false);
  std::string dn = "CN=" + cn;
  std::vector<std::string> values;
  for (size_t i = 1; i < pieces.size() && i <= std::size(kLabels); ++i) {
    const std::string_view label = kLabels[i - 1];
    values.push_back(ValueOf(pieces[i], label == "unstructuredName"));
    dn.append(",").append(label).append("=").append(values.back());
  }
  Check(GetDNAttribute(dn, "CN") == cn);
  for (size_t i = 0; i < std::size(kLabels); ++i)
    Check(GetDNAttribute(dn, kLabels[i]) == (i < values.size() ? values[i] : ""));
}

void Escapes(std::string_view bytes) {
  static const char kHex[] = "0123456789ABCDEFabcdef";
  std::string escaped = "p,", plain;
  for (unsigned char b : bytes) {
    if (b == 0) continue;  // an escape of 00 adds nothing
    plain += static_cast<char>(b);
    const int upper = b & 1 ? 0 : 6;  // either case of hex digit
    escaped.append("\\x").append(1, kHex[(b >> 4) > 9 ? (b >> 4) + upper : b >> 4]).append(
        1, kHex[(b & 15) > 9 ? (b & 15) + upper : b & 15]);
  }
  Check(DecodeHexEscapes(escaped) == "p," + AnsiFromUtf8(plain));
}

}  // namespace
}  // namespace zuntar

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zuntar;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  ArbitraryString(text);
  BuiltString(text);
  Escapes(text);
  return 0;
}
