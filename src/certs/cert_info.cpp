#include "certs/cert_info.h"

#include <algorithm>
#include <utility>

#include "certs/cert_info_parts.h"
#include "certs/cert_text.h"
#include "certs/dn_string.h"
#include "platform/capi/cert/cert_extensions.h"
#include "platform/capi/cert/store_files.h"

namespace zuntar {
namespace {

struct KeyUsageBit {
  BYTE certificate;
  uint32_t record;
};

constexpr KeyUsageBit kKeyUsageBits[] = {
    {CERT_DIGITAL_SIGNATURE_KEY_USAGE, VCERT_KU_DIGITAL_SIGNATURE},
    {CERT_NON_REPUDIATION_KEY_USAGE, VCERT_KU_NON_REPUDIATION},
    {CERT_KEY_ENCIPHERMENT_KEY_USAGE, VCERT_KU_KEY_ENCIPHERMENT},
    {CERT_DATA_ENCIPHERMENT_KEY_USAGE, VCERT_KU_DATA_ENCIPHERMENT},
    {CERT_KEY_AGREEMENT_KEY_USAGE, VCERT_KU_KEY_AGREEMENT},
    {CERT_KEY_CERT_SIGN_KEY_USAGE, VCERT_KU_KEY_CERT_SIGN},
    {CERT_CRL_SIGN_KEY_USAGE, VCERT_KU_CRL_SIGN},
};

uint32_t KeyUsageOf(const CERT_INFO& cert) {
  BYTE usage[4] = {};
  if (!CertGetIntendedKeyUsage(X509_ASN_ENCODING, cert, usage, sizeof usage)) return 0;
  uint32_t out = 0;
  for (const KeyUsageBit& bit : kKeyUsageBits)
    if (usage[0] & bit.certificate) out |= bit.record;
  return out;
}

// The serial number, most significant byte first, two digits a byte.
std::string SerialHexOf(const CERT_INFO& cert) {
  Bytes big_endian = cert.SerialNumber;
  std::reverse(big_endian.begin(), big_endian.end());
  return HexUpper(big_endian);
}

void Fill(const PCCERT_CONTEXT& context, uint32_t flags, VCERT_INFO& info) {
  const CERT_INFO& cert = context->Info();
  auto wanted = [flags](uint32_t flag) { return (flags & flag) != 0; };
  if (wanted(VCERT_INFO_SERIAL)) info.SerialNumber = SerialWithColons(SerialHexOf(cert));
  if (wanted(VCERT_INFO_NOT_BEFORE)) info.NotBefore = FileTimeToUnix(cert.NotBefore);
  if (wanted(VCERT_INFO_NOT_AFTER)) info.NotAfter = FileTimeToUnix(cert.NotAfter);
  if (wanted(VCERT_INFO_SUBJECT)) info.SubjectName = CertDNString(context, false);
  if (wanted(VCERT_INFO_ISSUER)) info.IssuerName = CertDNString(context, true);
  if (wanted(VCERT_INFO_THUMBPRINT) &&
      CertGetCertificateContextProperty(context, CERT_SHA1_HASH_PROP_ID, &info.Thumbprint))
    info.ThumbprintLength = static_cast<int32_t>(info.Thumbprint.size());
  if (wanted(VCERT_INFO_EXT_TAIL)) cert_info::FillExtTail(cert, info);
  if (wanted(VCERT_INFO_PKUP_NOT_BEFORE | VCERT_INFO_PKUP_NOT_AFTER)) cert_info::FillPrivateKeyUsagePeriod(cert, info);
  if (wanted(VCERT_INFO_EXT_KEY_USAGE)) cert_info::FillExtendedKeyUsage(cert, info);
  if (wanted(VCERT_INFO_KEY_USAGE)) info.KeyUsage = KeyUsageOf(cert);
  if (wanted(VCERT_INFO_SIG_ALG)) info.SignatureAlgorithm = cert.SignatureAlgorithm.pszObjId;
  if (wanted(VCERT_INFO_POLICIES)) cert_info::FillPolicies(cert, info);
  if (wanted(VCERT_INFO_SUBJECT_ALT_NAME)) cert_info::FillAltNames(cert, false, info);
  if (wanted(VCERT_INFO_ISSUER_ALT_NAME)) cert_info::FillAltNames(cert, true, info);
}

}  // namespace

void GetCertInfo(const Bytes& cert_body, uint32_t flags, VCERT_INFO& info) {
  info = VCERT_INFO();
  const PCCERT_CONTEXT context = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, cert_body);
  if (context == nullptr) return;
  info.Flags = flags;
  Fill(context, flags, info);
}

void FreeCertInfo(VCERT_INFO& info) { info = VCERT_INFO(); }

}  // namespace zuntar
