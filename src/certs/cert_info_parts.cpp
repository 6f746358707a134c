#include "certs/cert_info_parts.h"

#include "core/utf.h"
#include "platform/capi/asn1/ber_reader.h"
#include "platform/capi/cert/cert_extensions.h"
#include "platform/date_time.h"

namespace zuntar::cert_info {
namespace {

constexpr char kExtTailOid[] = "1.3.6.1.4.1.10244.4.3";
constexpr size_t kExtTailSize = 12;
constexpr size_t kTimeDigits = 14;

const Bytes* ExtensionValue(const CERT_INFO& cert, const char* oid) {
  const CERT_EXTENSION* ext = CertFindExtension(oid, cert.rgExtension);
  return ext != nullptr ? &ext->Value : nullptr;
}

// The digits after `header` (tag and length 15 of a GeneralizedTime),
// converted; 0 when the header is missing or the digits are not a time.
int64_t TimeAfter(const Bytes& value, std::string_view header) {
  const size_t at = value.find(header);
  if (at == Bytes::npos || value.size() - at - header.size() < kTimeDigits) return 0;
  return SecondsFromTimeDigits(std::string_view(value).substr(at + header.size(), kTimeDigits)).value_or(0);
}

// The text of an other-name value: the contents of its DER element, its
// header skipped by the length it states; UTF-8 turned into the ANSI code
// page.
std::string OtherNameText(const Bytes& value) {
  ber::Reader reader(value);
  ber::Element element;
  if (!reader.Next(&element)) return {};
  return AnsiFromUtf8(element.content);
}

bool IsLeapYear(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(int64_t year, unsigned month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

std::optional<int64_t> SecondsFromTimeDigits(std::string_view digits) {
  if (digits.size() != kTimeDigits) return std::nullopt;
  for (char c : digits)
    if (c < '0' || c > '9') return std::nullopt;
  auto number = [&](size_t pos, size_t len) {
    int64_t n = 0;
    for (size_t i = pos; i < pos + len; ++i) n = n * 10 + (digits[i] - '0');
    return n;
  };
  const int64_t year = number(0, 4);
  const int64_t month = number(4, 2), day = number(6, 2);
  const int64_t hour = number(8, 2), minute = number(10, 2), second = number(12, 2);
  if (year < 1 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, static_cast<unsigned>(month)) || hour > 23 || minute > 59 || second > 59)
    return std::nullopt;
  return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 + hour * 3600 +
         minute * 60 + second;
}

void FillExtTail(const CERT_INFO& cert, VCERT_INFO& info) {
  const Bytes* value = ExtensionValue(cert, kExtTailOid);
  if (value == nullptr || value->size() <= kExtTailSize) return;
  const std::string tail = value->substr(value->size() - kExtTailSize);
  info.ExtTail = tail.substr(0, tail.find('\0'));
}

void FillPrivateKeyUsagePeriod(const CERT_INFO& cert, VCERT_INFO& info) {
  const Bytes* value = ExtensionValue(cert, szOID_PRIVATEKEY_USAGE_PERIOD);
  if (value == nullptr) return;
  info.PrivateKeyNotBefore = TimeAfter(*value, std::string_view("\x80\x0F", 2));
  info.PrivateKeyNotAfter = TimeAfter(*value, std::string_view("\x81\x0F", 2));
}

void FillExtendedKeyUsage(const CERT_INFO& cert, VCERT_INFO& info) {
  const Bytes* value = ExtensionValue(cert, szOID_ENHANCED_KEY_USAGE);
  std::vector<std::string> oids;
  if (value == nullptr || !CryptDecodeEnhancedKeyUsage(*value, &oids) || oids.size() > kMaxEkuCount) return;
  info.EkuCount = static_cast<int32_t>(oids.size());
  info.Eku = std::move(oids);
}

void FillPolicies(const CERT_INFO& cert, VCERT_INFO& info) {
  const Bytes* value = ExtensionValue(cert, szOID_CERT_POLICIES);
  std::vector<CERT_POLICY_INFO> policies;
  if (value == nullptr || !CryptDecodeCertPolicies(*value, &policies)) return;
  info.PolicyCount = static_cast<int32_t>(policies.size());
  info.Policies = std::move(policies);
}

void FillAltNames(const CERT_INFO& cert, bool issuer, VCERT_INFO& info) {
  const Bytes* value = ExtensionValue(cert, issuer ? szOID_ISSUER_ALT_NAME2 : szOID_SUBJECT_ALT_NAME2);
  std::vector<CERT_ALT_NAME_ENTRY> entries;
  if (value == nullptr || !CryptDecodeAltName(*value, &entries)) return;
  for (const CERT_ALT_NAME_ENTRY& entry : entries) {
    if (entry.dwAltNameChoice != CERT_ALT_NAME_OTHER_NAME) continue;
    const std::string& oid = entry.OtherName.pszObjId;
    std::string* field = oid == "2.5.4.4"    ? (issuer ? &info.IssuerAltSurname : &info.SubjectAltSurname)
                         : oid == "2.5.4.10" ? (issuer ? &info.IssuerAltO : &info.SubjectAltO)
                         : oid == "2.5.4.15" ? (issuer ? &info.IssuerAltBusinessCategory
                                                       : &info.SubjectAltBusinessCategory)
                         : oid == "2.5.4.26" ? (issuer ? &info.IssuerAltRegisteredAddress
                                                       : &info.SubjectAltRegisteredAddress)
                                             : nullptr;
    if (field == nullptr) continue;
    std::string text = OtherNameText(entry.OtherName.Value);
    if (!text.empty()) *field = std::move(text);
  }
}

}  // namespace zuntar::cert_info
