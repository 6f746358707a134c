#include "certs/cert_text.h"

#include <gtest/gtest.h>

#include "certs/naming_certs.h"
#include "core/base64.h"
#include "platform/capi/cert/store_files.h"

namespace zuntar {
namespace {

TEST(SerialText, ColonsAndNormalisation) {
  EXPECT_EQ(SerialWithColons("0A1B2C"), "0A:1B:2C");
  EXPECT_EQ(SerialWithColons("0A"), "0A");
  EXPECT_EQ(SerialWithColons(""), "");
  EXPECT_EQ(NormalizeSerial("0a:1b:2c"), "0a1b2c");
  EXPECT_EQ(NormalizeSerial(" 0A1B 2C3D:4E "), "0A1B2C3D4E");
  EXPECT_EQ(NormalizeSerial(SerialWithColons("0123456789ABCDEF")), "0123456789ABCDEF");
}

TEST(CertText, ThumbprintAndPem) {
  const test::NamingCerts certs;
  const Bytes der = certs.Issue(test::UserRequest("x"));
  EXPECT_EQ(ThumbprintHex(der), HexUpper(ossl::Sha1(der)));
  EXPECT_EQ(ThumbprintHex(der).size(), 40u);
  EXPECT_EQ(ThumbprintHex("not a certificate"), "");

  // Line breaks of either kind, text around the armour.
  std::string body = Base64Encode(der);
  std::string crlf, lf;
  for (size_t i = 0; i < body.size(); i += 64) {
    crlf += body.substr(i, 64) + "\r\n";
    lf += body.substr(i, 64) + "\n";
  }
  EXPECT_EQ(CertBodyFromPem("-----BEGIN CERTIFICATE-----\r\n" + crlf + "-----END CERTIFICATE-----\r\n"), der);
  EXPECT_EQ(CertBodyFromPem("-----BEGIN CERTIFICATE-----\r\n" + crlf +
                            "-----END CERTIFICATE-----\r\nSubject: trailing line\r\nMore+/text=\r\n"),
            der);
  EXPECT_EQ(CertBodyFromPem("Certificate:\nIssuer: x\n-----BEGIN CERTIFICATE-----\n" + lf +
                            "-----END CERTIFICATE-----"),
            der);
  // Without armour the text is Base64 as a whole.
  EXPECT_EQ(CertBodyFromPem(crlf), der);
  EXPECT_EQ(CertBodyFromPem("-----BEGIN CERTIFICATE"), "");
}

TEST(FileTimes, UnixSecondsAndDateTimes) {
  constexpr FILETIME kEpoch = 116444736000000000ULL;
  EXPECT_EQ(FileTimeToUnix(kEpoch), 0);
  EXPECT_EQ(FileTimeToUnix(kEpoch + 10000000ULL * 1709287201 + 9999999), 1709287201);
  // Past 2038 and up to the last second of 9999.
  EXPECT_EQ(FileTimeToUnix(kEpoch + 10000000ULL * 253402300799), 253402300799);
  EXPECT_EQ(FileTimeToUnix(0), -11644473600);

  // Two-second resolution, no zone shift, any year.
  const CalendarTime t = DecodeDateTime(FileTimeToDateTime(kEpoch + 10000000ULL * 1709287201 + 5000000));
  EXPECT_EQ(t.year, 2024);
  EXPECT_EQ(t.month, 3);
  EXPECT_EQ(t.day, 1);
  EXPECT_EQ(t.hour, 10);
  EXPECT_EQ(t.minute, 0);
  EXPECT_EQ(t.second, 0);
  EXPECT_EQ(FileTimeToDateTime(kEpoch), 25569.0);
  const CalendarTime last = DecodeDateTime(FileTimeToDateTime(kEpoch + 10000000ULL * 253402300799));
  EXPECT_EQ(last.year, 9999);
  EXPECT_EQ(last.second, 58);
  // Before 1970 odd seconds still go down.
  EXPECT_EQ(DecodeDateTime(FileTimeToDateTime(kEpoch - 10000000ULL)).second, 58);
  EXPECT_EQ(DecodeDateTime(FileTimeToDateTime(kEpoch - 1)).second, 58);
}

}  // namespace
}  // namespace zuntar
