// Conversions between OpenSSL GOST keys and the forms the provider speaks:
// raw public key points, public-key information, key agreement (VKO) and
// raw signatures.
#pragma once

#include <memory>
#include <string>

#include "platform/capi/base/crypt_types.h"
#include "platform/capi/base/ossl.h"
#include "platform/capi/gost/gost_params.h"

namespace zuntar {

// Public-key information of a key (algorithm OID, parameters DER, bit
// string holding the OCTET STRING of the point).
bool PublicKeyInfoOf(EVP_PKEY* key, CERT_PUBLIC_KEY_INFO* info);
// The point as carried in public-key blobs (the OCTET STRING's content).
Bytes PublicKeyPoint(const CERT_PUBLIC_KEY_INFO& info);
// A public key from its information; null when it does not decode.
ossl::PKeyPtr PublicKeyFromInfo(const CERT_PUBLIC_KEY_INFO& info);
// The same from an algorithm OID, parameters and the raw point.
ossl::PKeyPtr PublicKeyFromPoint(const std::string& key_oid, const Bytes& params, const Bytes& point);

const GostKeyParams* ParamsOfKey(EVP_PKEY* key);

// Key agreement (VKO) with an 8-byte UKM: the 32-byte key-encryption key.
bool AgreeKey(EVP_PKEY* own, EVP_PKEY* peer, const Bytes& ukm, Bytes* kek);

// Signature of a digest in the provider's byte order (the reverse of the
// standard big-endian encoding), and its check.
bool SignDigest(EVP_PKEY* key, const Bytes& digest, Bytes* signature);
bool VerifyDigest(EVP_PKEY* key, const Bytes& digest, const Bytes& signature);

// Generates a key of the kind; `paramset` may be an OID text or a short name,
// empty for the default.
ossl::PKeyPtr GenerateKey(const GostKeyParams& params, const std::string& paramset);

}  // namespace zuntar
