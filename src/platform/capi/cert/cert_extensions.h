// Finding and decoding the certificate extensions the program reads.
#pragma once

#include <string>
#include <vector>

#include "platform/capi/base/crypt_types.h"

namespace zuntar {

// The first extension whose OID text equals oid exactly; null when none.
const CERT_EXTENSION* CertFindExtension(const char* oid, const std::vector<CERT_EXTENSION>& extensions);

// The key-usage bits (first bytes of the bit string) into usage[0..cb).
// False with last error 0 when the certificate has no key usage; false with
// an error code when the extension does not decode.
bool CertGetIntendedKeyUsage(DWORD encoding, const CERT_INFO& info, BYTE* usage, DWORD cb);

// Decoders of extension values (the DER inside the extension). Each returns
// false with CRYPT_E_ASN1_* in the last error when the bytes do not decode.
bool CryptDecodeEnhancedKeyUsage(const Bytes& value, std::vector<std::string>* oids);
bool CryptDecodeCertPolicies(const Bytes& value, std::vector<CERT_POLICY_INFO>* policies);
bool CryptDecodeAltName(const Bytes& value, std::vector<CERT_ALT_NAME_ENTRY>* entries);

}  // namespace zuntar
