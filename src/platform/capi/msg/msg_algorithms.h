// The GOST algorithms of signed and enveloped messages: which hash a hash
// or signature OID names, and the size of a signature made with a key.
#pragma once

#include <openssl/evp.h>

#include <string>

#include "platform/capi/base/crypt_types.h"

namespace zuntar {

struct MsgHashAlgorithm {
  const char* hash_oid;
  ALG_ID alg;            // of the provider's hash object
  const char* md_name;   // of OpenSSL's digest
};

// The hash of a hash OID or of a signature OID ("1.2.643.7.1.1.3.2" gives
// GOST R 34.11-2012 256); null when neither.
const MsgHashAlgorithm* HashForOid(const std::string& oid);
const EVP_MD* DigestOf(const MsgHashAlgorithm& hash);

// The hash a signature by a key of that public-key OID is made with (GOST
// keys sign with their own hash); null for other keys.
const MsgHashAlgorithm* HashForKey(const std::string& key_oid);

// Bytes of a signature by a key of that public-key OID (64 or 128); 0 when
// the key is not a GOST key.
size_t SignatureSizeForKey(const std::string& key_oid);

// AlgorithmIdentifier with NULL parameters, as GOST messages carry them.
Bytes AlgorithmWithNull(const std::string& oid);

}  // namespace zuntar
