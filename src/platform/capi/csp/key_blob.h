// The key blobs of the provider: an 8-byte header (type, version, two
// reserved bytes, algorithm) followed by the blob's own words and bytes, as
// the CryptoAPI GOST providers lay them out.
#pragma once

#include "platform/capi/base/crypt_types.h"
#include "platform/capi/gost/gost_params.h"

namespace zuntar::csp {

Bytes BlobHeader(BYTE type, ALG_ID alg);

// Parses a public-key blob: its algorithm, parameters and point.
DWORD ParsePublicKeyBlob(const Bytes& blob, ALG_ID* alg, const GostKeyParams** params, Bytes* key_params,
                         Bytes* point);

}  // namespace zuntar::csp
