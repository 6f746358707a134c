#include "certs/cert_text.h"

#include <algorithm>

#include "core/base64.h"
#include "platform/capi/cert/cert_context.h"
#include "platform/capi/cert/store_files.h"

namespace zuntar {
namespace {

constexpr std::string_view kBeginMarker = "BEGIN CERTIFICATE";
constexpr std::string_view kEndMarker = "END CERTIFICATE";

// 100-nanosecond intervals in a second, and seconds from 1601 to 1970.
constexpr FILETIME kFileTimeUnitsPerSecond = 10000000;
constexpr int64_t kSecondsFrom1601To1970 = 11644473600;

std::string_view WithoutArmour(std::string_view text) {
  const size_t begin = text.find(kBeginMarker);
  if (begin == std::string_view::npos) return text;
  // The marker and the two characters after it (the usual "--"), then the
  // rest of the dashes: the text from the line break on.
  text.remove_prefix(std::min(text.size(), begin + kBeginMarker.size() + 2));
  text.remove_prefix(std::min(text.size(), text.find_first_not_of('-')));
  const size_t end = text.find(kEndMarker);
  if (end != std::string_view::npos) {
    text = text.substr(0, end);
    while (!text.empty() && text.back() == '-') text.remove_suffix(1);
  }
  return text;
}

}  // namespace

std::string SerialWithColons(std::string_view hex_serial) {
  std::string out;
  out.reserve(hex_serial.size() * 3 / 2);
  for (size_t i = 0; i < hex_serial.size(); ++i) {
    out += hex_serial[i];
    if (i % 2 == 1 && i + 1 < hex_serial.size()) out += ':';
  }
  return out;
}

std::string NormalizeSerial(std::string_view serial) {
  std::string out;
  out.reserve(serial.size());
  for (char c : serial)
    if (c != ':' && c != ' ') out += c;
  return out;
}

std::string ThumbprintHex(const Bytes& cert_body) {
  const PCCERT_CONTEXT context = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, cert_body);
  Bytes hash;
  if (context == nullptr || !CertGetCertificateContextProperty(context, CERT_SHA1_HASH_PROP_ID, &hash)) return {};
  return HexUpper(hash);
}

Bytes CertBodyFromPem(std::string_view text) { return Base64Decode(WithoutArmour(text)); }

int64_t FileTimeToUnix(FILETIME ft) { return UnixFromFileTime(ft); }

DateTime FileTimeToDateTime(FILETIME ft) {
  // Whole seconds rounded down, also before 1970.
  return DateTimeFromUnixSeconds(static_cast<int64_t>(ft / kFileTimeUnitsPerSecond) - kSecondsFrom1601To1970);
}

}  // namespace zuntar
