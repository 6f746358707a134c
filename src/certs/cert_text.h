// Small conversions around certificates: serial-number and thumbprint
// texts, PEM armour and the platform's file times.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/capi/base/crypt_types.h"
#include "platform/date_time.h"

namespace zuntar {

// "0A1B2C" -> "0A:1B:2C": a colon after every second character but the
// last pair. The input is the even-length hex form of a serial number.
std::string SerialWithColons(std::string_view hex_serial);

// Removes every colon and blank, so a serial typed or copied in any of
// those forms compares with the plain hex form.
std::string NormalizeSerial(std::string_view serial);

// The certificate's SHA-1 thumbprint as 40 upper-case hex digits; empty
// when the body is not a certificate.
std::string ThumbprintHex(const Bytes& cert_body);

// The DER of a PEM certificate: the text between the BEGIN CERTIFICATE and
// END CERTIFICATE lines, Base64-decoded (line breaks and other characters
// outside the alphabet are skipped). Text without the armour is decoded as
// Base64 in whole.
Bytes CertBodyFromPem(std::string_view text);

// Seconds since 1970-01-01 UTC (truncated).
int64_t FileTimeToUnix(FILETIME ft);

// The program's date-time at two-second resolution, with no zone shift.
DateTime FileTimeToDateTime(FILETIME ft);

}  // namespace zuntar
