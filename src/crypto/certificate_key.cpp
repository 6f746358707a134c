#include "crypto/certificate_key.h"

#include "crypto/crypt_exceptions.h"

namespace zuntar {

std::optional<CertificateKey> TryAcquireKey(const PCCERT_CONTEXT& cert, DWORD flags) {
  CertificateKey key;
  bool caller_free = false;  // the handle owns the context either way
  if (!CryptAcquireCertificatePrivateKey(cert, flags, nullptr, &key.prov, &key.key_spec, &caller_free))
    return std::nullopt;
  return key;
}

CertificateKey AcquireKeyOrThrow(const PCCERT_CONTEXT& cert, DWORD flags, RaiseLastError raise) {
  std::optional<CertificateKey> key = TryAcquireKey(cert, flags);
  if (!key && raise != nullptr) raise();
  ThrowIfFalse(key.has_value());
  return std::move(*key);
}

}  // namespace zuntar
