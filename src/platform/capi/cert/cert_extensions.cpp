#include "platform/capi/cert/cert_extensions.h"

#include <openssl/x509v3.h>

#include <cstring>

#include "platform/capi/base/error_codes.h"
#include "platform/capi/base/ossl.h"

namespace zuntar {
namespace {

// d2i over the whole value into its owner; null (last error set) when bytes
// are left over or the value does not decode.
template <typename Owner, typename T = typename Owner::element_type>
Owner DecodeWhole(T* (*d2i)(T**, const unsigned char**, long), const Bytes& value) {
  const unsigned char* p = ossl::Data(value);
  Owner out(d2i(nullptr, &p, static_cast<long>(value.size())));
  if (out != nullptr && p != ossl::Data(value) + value.size()) out.reset();
  if (out == nullptr) {
    ossl::ClearErrors();
    SetLastError(value.empty() ? CRYPT_E_ASN1_EOD : CRYPT_E_ASN1_BADTAG);
  }
  return out;
}

std::string StringOf(const ASN1_STRING* s) {
  return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)), static_cast<size_t>(ASN1_STRING_length(s)));
}

}  // namespace

const CERT_EXTENSION* CertFindExtension(const char* oid, const std::vector<CERT_EXTENSION>& extensions) {
  if (oid == nullptr) return nullptr;
  for (const CERT_EXTENSION& e : extensions)
    if (e.pszObjId == oid) return &e;
  return nullptr;
}

bool CertGetIntendedKeyUsage(DWORD, const CERT_INFO& info, BYTE* usage, DWORD cb) {
  if (usage != nullptr && cb > 0) std::memset(usage, 0, cb);
  const CERT_EXTENSION* ext = CertFindExtension(szOID_KEY_USAGE, info.rgExtension);
  if (ext == nullptr) return Fail(ERROR_SUCCESS);
  const auto bits = DecodeWhole<ossl::Asn1BitStringPtr>(d2i_ASN1_BIT_STRING, ext->Value);
  if (bits == nullptr) return false;
  for (DWORD i = 0; usage != nullptr && i < cb && static_cast<int>(i) < ASN1_STRING_length(bits.get()); ++i)
    usage[i] = ASN1_STRING_get0_data(bits.get())[i];
  return true;
}

bool CryptDecodeEnhancedKeyUsage(const Bytes& value, std::vector<std::string>* oids) {
  const auto eku = DecodeWhole<ossl::ExtendedKeyUsagePtr>(d2i_EXTENDED_KEY_USAGE, value);
  if (eku == nullptr) return false;
  oids->clear();
  for (int i = 0; i < sk_ASN1_OBJECT_num(eku.get()); ++i)
    oids->push_back(ossl::OidText(sk_ASN1_OBJECT_value(eku.get(), i)));
  return true;
}

bool CryptDecodeCertPolicies(const Bytes& value, std::vector<CERT_POLICY_INFO>* policies) {
  const auto decoded = DecodeWhole<ossl::CertificatePoliciesPtr>(d2i_CERTIFICATEPOLICIES, value);
  if (decoded == nullptr) return false;
  policies->clear();
  for (int i = 0; i < sk_POLICYINFO_num(decoded.get()); ++i)
    policies->push_back({ossl::OidText(sk_POLICYINFO_value(decoded.get(), i)->policyid)});
  return true;
}

bool CryptDecodeAltName(const Bytes& value, std::vector<CERT_ALT_NAME_ENTRY>* entries) {
  const auto names = DecodeWhole<ossl::GeneralNamesPtr>(d2i_GENERAL_NAMES, value);
  if (names == nullptr) return false;
  entries->clear();
  for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
    const GENERAL_NAME* gn = sk_GENERAL_NAME_value(names.get(), i);
    CERT_ALT_NAME_ENTRY e;
    switch (gn->type) {
      case GEN_OTHERNAME:
        e.dwAltNameChoice = CERT_ALT_NAME_OTHER_NAME;
        e.OtherName.pszObjId = ossl::OidText(gn->d.otherName->type_id);
        e.OtherName.Value = ossl::ToDer(i2d_ASN1_TYPE, gn->d.otherName->value);
        break;
      case GEN_EMAIL:
        e.dwAltNameChoice = CERT_ALT_NAME_RFC822_NAME;
        e.Text = StringOf(gn->d.rfc822Name);
        break;
      case GEN_DNS:
        e.dwAltNameChoice = CERT_ALT_NAME_DNS_NAME;
        e.Text = StringOf(gn->d.dNSName);
        break;
      case GEN_URI:
        e.dwAltNameChoice = CERT_ALT_NAME_URL;
        e.Text = StringOf(gn->d.uniformResourceIdentifier);
        break;
      case GEN_DIRNAME:
        e.dwAltNameChoice = CERT_ALT_NAME_DIRECTORY_NAME;
        e.Blob = ossl::ToDer(i2d_X509_NAME, gn->d.directoryName);
        break;
      case GEN_IPADD:
        e.dwAltNameChoice = CERT_ALT_NAME_IP_ADDRESS;
        e.Blob = StringOf(gn->d.iPAddress);
        break;
      case GEN_RID:
        e.dwAltNameChoice = CERT_ALT_NAME_REGISTERED_ID;
        e.Text = ossl::OidText(gn->d.registeredID);
        break;
      default:
        continue;
    }
    entries->push_back(std::move(e));
  }
  return true;
}

}  // namespace zuntar
