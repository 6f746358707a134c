// The three kinds of GOST keys the provider handles and what goes with each:
// OpenSSL identifiers, algorithm identifiers, default parameter sets and the
// provider type that serves it.
#pragma once

#include <cstddef>

#include "platform/capi/base/crypt_types.h"

namespace zuntar {

enum class GostKeyKind { k2001, k2012_256, k2012_512 };

struct GostKeyParams {
  GostKeyKind kind;
  int key_nid;                   // OpenSSL NID of the key type
  const char* paramset_name;     // default parameter set for key generation
  const char* digest_name;       // hash of signatures made with the key
  ALG_ID sign_alg;               // CALG of a signature key
  ALG_ID dh_alg;                 // CALG of an exchange key
  ALG_ID ephem_alg;              // CALG of an ephemeral agreement key
  ALG_ID hash_alg;               // CALG of the hash that goes with the key
  ALG_ID export_alg;             // default wrapping of an agreement key
  const char* cipher_paramset;   // GOST 28147-89 parameter set of session keys
  const char* hash_paramset;     // digest parameter OID of the key
  const char* key_oid;           // algorithm OID of the public key
  const char* public_paramset;   // OID of the default public-key parameter set
  size_t public_key_size;        // bytes of the public key point
  DWORD bit_length;              // of the public key, in public-key blobs
  DWORD prov_type;
};

const GostKeyParams& DefaultKeyParams(GostKeyKind kind);
// Null for unknown values.
const GostKeyParams* KeyParamsForNid(int key_nid);
const GostKeyParams* KeyParamsForProvType(DWORD prov_type);
const GostKeyParams* KeyParamsForAlgId(ALG_ID alg);  // sign, dh or ephemeral ALG_ID

}  // namespace zuntar
