#include "platform/capi/msg/signing_time.h"

#include <cstring>
#include <string>

#include "platform/capi/asn1/ber_reader.h"
#include "platform/capi/asn1/der_writer.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/cert/cert_context.h"
#include "platform/capi/msg/crypt_msg_types.h"
#include "platform/date_time.h"

namespace zuntar {

namespace {

constexpr int64_t kSecondsPerDay = 86400;
// Seconds from 0001-01-01 to 1970-01-01 and FILETIME's own range limits.
constexpr int64_t kFileTimeUnits = 10000000;

bool Digits(const std::string& s, size_t pos, size_t n, unsigned* value) {
  if (pos + n > s.size()) return false;
  unsigned v = 0;
  for (size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + static_cast<unsigned>(s[i] - '0');
  }
  *value = v;
  return true;
}

std::string TwoDigits(unsigned v) { return {static_cast<char>('0' + v / 10 % 10), static_cast<char>('0' + v % 10)}; }

}  // namespace

bool EncodeSigningTime(FILETIME time, Bytes* der) {
  const int64_t seconds = UnixFromFileTime(time);
  int64_t days = seconds / kSecondsPerDay;
  int64_t rest = seconds % kSecondsPerDay;
  if (rest < 0) {
    rest += kSecondsPerDay;
    --days;
  }
  int64_t year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(days, year, month, day);
  if (year < 1 || year > 9999) return false;
  const unsigned y = static_cast<unsigned>(year);
  const std::string clock = TwoDigits(month) + TwoDigits(day) + TwoDigits(static_cast<unsigned>(rest / 3600)) +
                            TwoDigits(static_cast<unsigned>(rest / 60 % 60)) +
                            TwoDigits(static_cast<unsigned>(rest % 60)) + "Z";
  if (y >= 1950 && y <= 2049)
    *der = ber::Wrap(ber::kUtcTime, TwoDigits(y % 100) + clock);
  else
    *der = ber::Wrap(ber::kGeneralizedTime, TwoDigits(y / 100) + TwoDigits(y % 100) + clock);
  return true;
}

bool DecodeSigningTime(const Bytes& der, FILETIME* time) {
  ber::Reader reader(der);
  ber::Element e;
  if (!reader.Next(&e) || !reader.empty()) return false;
  const std::string text(e.content);
  unsigned year = 0;
  size_t pos = 0;
  if (e.tag == ber::kUtcTime) {
    if (!Digits(text, 0, 2, &year)) return false;
    year += year < 50 ? 2000 : 1900;
    pos = 2;
  } else if (e.tag == ber::kGeneralizedTime) {
    if (!Digits(text, 0, 4, &year)) return false;
    pos = 4;
  } else {
    return false;
  }
  unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!Digits(text, pos, 2, &month) || !Digits(text, pos + 2, 2, &day) || !Digits(text, pos + 4, 2, &hour) ||
      !Digits(text, pos + 6, 2, &minute))
    return false;
  pos += 8;
  if (pos < text.size() && text[pos] != 'Z' && text[pos] != '.') {
    if (!Digits(text, pos, 2, &second)) return false;
    pos += 2;
  }
  uint64_t fraction_units = 0;
  if (e.tag == ber::kGeneralizedTime && pos < text.size() && text[pos] == '.') {
    uint64_t scale = kFileTimeUnits;
    for (++pos; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
      scale /= 10;
      fraction_units += static_cast<uint64_t>(text[pos] - '0') * scale;
    }
  }
  if (pos + 1 != text.size() || text[pos] != 'Z') return false;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return false;
  const int64_t seconds = DaysFromCivil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
  if (seconds < UnixFromFileTime(0)) return false;
  *time = FileTimeFromUnix(seconds) + fraction_units;
  return true;
}

bool CryptEncodeObject(DWORD /*encoding*/, const char* struct_type, const FILETIME& time, BYTE* encoded,
                       DWORD* size) {
  if (struct_type == nullptr || std::strcmp(struct_type, szOID_RSA_signingTime) != 0 || size == nullptr)
    return Fail(CRYPT_E_BAD_ENCODE);
  Bytes der;
  if (!EncodeSigningTime(time, &der)) return Fail(CRYPT_E_BAD_ENCODE);
  return CopyOut(der, encoded, size);
}

bool CryptDecodeObject(DWORD /*encoding*/, const char* struct_type, const BYTE* encoded, DWORD encoded_size,
                       DWORD /*flags*/, FILETIME* time) {
  if (struct_type == nullptr || std::strcmp(struct_type, szOID_RSA_signingTime) != 0 || time == nullptr)
    return Fail(CRYPT_E_ASN1_BADTAG);
  if (encoded == nullptr && encoded_size != 0) return Fail(ERROR_INVALID_PARAMETER);
  const Bytes der(reinterpret_cast<const char*>(encoded), encoded_size);
  if (!DecodeSigningTime(der, time)) return Fail(CRYPT_E_ASN1_CORRUPT);
  return true;
}

}  // namespace zuntar
