// The certificate-information record: the parts of a certificate that the
// program shows, lists and selects certificates by, filled on request.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/capi/base/crypt_types.h"

namespace zuntar {

// Request flags: which parts GetCertInfo fills.
constexpr uint32_t VCERT_INFO_SERIAL = 0x1;
constexpr uint32_t VCERT_INFO_ISSUER = 0x2;
constexpr uint32_t VCERT_INFO_SUBJECT = 0x4;
constexpr uint32_t VCERT_INFO_NOT_BEFORE = 0x20;
constexpr uint32_t VCERT_INFO_NOT_AFTER = 0x40;
constexpr uint32_t VCERT_INFO_KEY_USAGE = 0x80;
constexpr uint32_t VCERT_INFO_ISSUER_ALT_NAME = 0x100;
constexpr uint32_t VCERT_INFO_SUBJECT_ALT_NAME = 0x200;
constexpr uint32_t VCERT_INFO_EXT_KEY_USAGE = 0x400;
constexpr uint32_t VCERT_INFO_POLICIES = 0x800;
constexpr uint32_t VCERT_INFO_PKUP_NOT_BEFORE = 0x2000;
constexpr uint32_t VCERT_INFO_PKUP_NOT_AFTER = 0x4000;
constexpr uint32_t VCERT_INFO_EXT_TAIL = 0x8000;
constexpr uint32_t VCERT_INFO_THUMBPRINT = 0x20000;
constexpr uint32_t VCERT_INFO_SIG_ALG = 0x40000;

// Bits of VCERT_INFO::KeyUsage (encipherOnly and decipherOnly are not
// carried).
constexpr uint32_t VCERT_KU_DIGITAL_SIGNATURE = 0x01;
constexpr uint32_t VCERT_KU_NON_REPUDIATION = 0x02;
constexpr uint32_t VCERT_KU_KEY_ENCIPHERMENT = 0x04;
constexpr uint32_t VCERT_KU_DATA_ENCIPHERMENT = 0x08;
constexpr uint32_t VCERT_KU_KEY_AGREEMENT = 0x10;
constexpr uint32_t VCERT_KU_KEY_CERT_SIGN = 0x20;
constexpr uint32_t VCERT_KU_CRL_SIGN = 0x40;

// More extended key usages than this and none are carried.
constexpr size_t kMaxEkuCount = 1024;

// Texts are in the ANSI code page. A part that was not requested, or that
// the certificate lacks, stays empty or 0. Times are seconds since
// 1970-01-01 00:00:00 UTC.
struct VCERT_INFO {
  uint32_t Flags = 0;  // the request the record was filled for
  std::string IssuerName;
  std::string SerialNumber;  // pairs of hex digits joined by colons
  std::string SubjectName;
  std::string SignatureAlgorithm;  // OID text
  int64_t NotBefore = 0;
  int64_t NotAfter = 0;
  uint32_t KeyUsage = 0;
  // The private-key usage period (both filled by either PKUP flag).
  int64_t PrivateKeyNotBefore = 0;
  int64_t PrivateKeyNotAfter = 0;
  // Other-name entries of the alternative names: 2.5.4.10, 2.5.4.26,
  // 2.5.4.4 and 2.5.4.15.
  std::string IssuerAltO;
  std::string IssuerAltRegisteredAddress;
  std::string IssuerAltSurname;
  std::string IssuerAltBusinessCategory;
  std::string SubjectAltO;
  std::string SubjectAltRegisteredAddress;
  std::string SubjectAltSurname;
  std::string SubjectAltBusinessCategory;
  // The last 12 bytes of extension 1.3.6.1.4.1.10244.4.3, as text.
  std::string ExtTail;
  int32_t PolicyCount = 0;
  std::vector<CERT_POLICY_INFO> Policies;  // the policy OIDs only
  int32_t EkuCount = 0;
  std::vector<std::string> Eku;
  int32_t ThumbprintLength = 0;
  Bytes Thumbprint;  // SHA-1
};

// Clears the record, then fills the requested parts of the certificate
// (DER). A body that is not a certificate leaves the record cleared
// (Flags 0); nothing is thrown for it.
void GetCertInfo(const Bytes& cert_body, uint32_t flags, VCERT_INFO& info);

// Releases what GetCertInfo filled and clears the record.
void FreeCertInfo(VCERT_INFO& info);

}  // namespace zuntar
