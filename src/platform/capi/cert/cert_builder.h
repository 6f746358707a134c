// Making GOST keys and certificates: the test PKI of the certificate tool
// and the tests use it to create what a certification authority would issue.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/capi/base/crypt_types.h"
#include "platform/capi/base/ossl.h"
#include "platform/capi/gost/gost_params.h"

namespace zuntar {

// A new key pair of the kind on its usual parameter set; null on failure.
ossl::PKeyPtr GenerateGostKey(GostKeyKind kind);
GostKeyKind GostKeyKindOf(EVP_PKEY* key);

// One attribute of a distinguished name. The ASN.1 string type follows the
// attribute: numeric strings for the Russian registration numbers, a
// printable string for the country, IA5 for e-mail, UTF-8 for the rest.
struct NameAttribute {
  std::string oid;
  std::string value;  // UTF-8
};

struct CertRequest {
  std::vector<NameAttribute> subject;
  Bytes serial;  // big-endian magnitude; empty gives 16 random bytes
  int64_t not_before = 0;  // seconds since 1970, UTC
  int64_t not_after = 0;
  bool is_ca = false;
  std::optional<BYTE> key_usage;  // first byte of the key-usage bits
  std::vector<std::string> extended_key_usage;
  std::vector<std::string> policies;
  std::optional<std::pair<int64_t, int64_t>> private_key_usage_period;
  std::vector<NameAttribute> subject_alt_other_names;  // other-name OID and UTF-8 text
  std::vector<CERT_EXTENSION> extra_extensions;
};

// DER of a certificate for `subject_key`, signed by `issuer_key` under the
// name of `issuer_der` (self-signed when `issuer_der` is empty). Empty on
// failure.
Bytes BuildCertificate(const CertRequest& request, EVP_PKEY* subject_key, const Bytes& issuer_der,
                       EVP_PKEY* issuer_key);

// Builds a CRL of the issuer listing the serial numbers (big-endian).
Bytes BuildCrl(const Bytes& issuer_der, EVP_PKEY* issuer_key, int64_t this_update, int64_t next_update,
               const std::vector<Bytes>& revoked_serials);

// PKCS #8 DER of a private key, encrypted when a PIN is given.
Bytes PrivateKeyToPkcs8(EVP_PKEY* key, const std::string& pin);
// Reads PKCS #8 DER (encrypted or not); null when the PIN is wrong or the
// bytes are not a key.
ossl::PKeyPtr PrivateKeyFromPkcs8(const Bytes& der, const std::string& pin, bool* encrypted);

}  // namespace zuntar
