// A certificate's private key as the provider hands it out, and the one
// way this layer asks for it.
#pragma once

#include <optional>

#include "platform/capi/api/crypt_api.h"

namespace zuntar {

// The provider context holding the key, and which of its keys it is. The
// context is released with the last copy of its handle; a cached one lives
// on with the certificate.
struct CertificateKey {
  HCRYPTPROV prov;
  DWORD key_spec = 0;
};

// The private key of `cert`: flags 0, or CRYPT_ACQUIRE_CACHE_FLAG to keep
// the context open with the certificate for the next call. Nothing, with
// the last error set, when the key cannot be had.
std::optional<CertificateKey> TryAcquireKey(const PCCERT_CONTEXT& cert, DWORD flags);

// Throws the error of a failed acquisition from the last error.
using RaiseLastError = void (*)();

// The same, raising when the key cannot be had: CryptError(GetLastError()),
// or what `raise` throws where the caller reports it in another form.
CertificateKey AcquireKeyOrThrow(const PCCERT_CONTEXT& cert, DWORD flags, RaiseLastError raise = nullptr);

}  // namespace zuntar
