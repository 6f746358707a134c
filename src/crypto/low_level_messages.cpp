#include "crypto/low_level_messages.h"

#include "crypto/cert_identity.h"
#include "crypto/certificate_key.h"
#include "crypto/crypt_exceptions.h"
#include "platform/capi/base/error_codes.h"

namespace zuntar {
namespace {

// The signature of a prepared hash with the key `key_spec` names (size query,
// then the value).
Bytes SignHash(const HCRYPTHASH& hash, DWORD key_spec) {
  DWORD size = 0;
  if (!CryptSignHashA(hash, key_spec, nullptr, 0, nullptr, &size)) throw CryptCallError("CryptSignHash");
  Bytes signature(size, '\0');
  if (!CryptSignHashA(hash, key_spec, nullptr, 0, reinterpret_cast<BYTE*>(signature.data()), &size))
    throw CryptCallError("CryptSignHash");
  signature.resize(size);
  return signature;
}

HCRYPTHASH CreateHash(const HCRYPTPROV& prov) {
  HCRYPTHASH hash;
  if (!CryptCreateHash(prov, CALG_GR3411_2012_256, nullptr, 0, &hash)) throw CryptCallError("CryptCreateHash");
  return hash;
}

}  // namespace

TCPLowLevelEncodedSignedMsg::TCPLowLevelEncodedSignedMsg(const PCCERT_CONTEXT& cert, DWORD length, const BYTE* data) {
  const CertificateKey key = AcquireKeyOrThrow(cert, 0, [] { throw LastWin32Error(); });
  HCRYPTKEY public_key;
  if (!CryptImportPublicKeyInfoEx(key.prov, kMsgEncoding, cert->Info().SubjectPublicKeyInfo, 0, 0, nullptr,
                                  &public_key))
    throw CryptCallError("CryptImportPublicKey");
  DWORD size = 0;
  if (!CryptExportKey(public_key, nullptr, PUBLICKEYBLOB, 0, nullptr, &size)) throw CryptCallError("CryptExportKey");
  PublicKeyBlob.assign(size, '\0');
  if (!CryptExportKey(public_key, nullptr, PUBLICKEYBLOB, 0, reinterpret_cast<BYTE*>(PublicKeyBlob.data()), &size))
    throw CryptCallError("CryptExportKey");
  PublicKeyBlob.resize(size);
  const HCRYPTHASH hash = CreateHash(key.prov);
  if (!CryptHashData(hash, data, length, 0)) throw CryptCallError("CryptHashData");
  Signature = SignHash(hash, key.key_spec);
}

TCPLowLevelEncodedSignedHashMsg::TCPLowLevelEncodedSignedHashMsg(const PCCERT_CONTEXT& cert,
                                                                 const Bytes& hash_value) {
  const CertificateKey key =
      AcquireKeyOrThrow(cert, 0, [] { throw CryptCallError("CryptAcquireCertificatePrivateKey"); });
  const HCRYPTHASH hash = CreateHash(key.prov);
  if (!CryptSetHashParam(hash, HP_HASHVAL, hash_value, 0)) throw CryptCallError("CryptSetHashParam");
  Signature = SignHash(hash, key.key_spec);
}

TCPHashMsg::TCPHashMsg(DWORD length, const BYTE* data) {
  HCRYPTPROV prov;
  if (!CryptAcquireContextA(&prov, nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT) &&
      !CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_SIG, CRYPT_VERIFYCONTEXT))
    throw LastWin32Error();
  const HCRYPTHASH hash = CreateHash(prov);
  if (!CryptHashData(hash, data, length, 0)) throw CryptCallError("CryptHashData");
  DWORD hash_size = 0;
  DWORD size = sizeof hash_size;
  if (!CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&hash_size), &size, 0))
    throw CryptCallError("CryptGetHashParam HP_HASHSIZE");
  HashValue.assign(hash_size, '\0');
  size = hash_size;
  if (!CryptGetHashParam(hash, HP_HASHVAL, reinterpret_cast<BYTE*>(HashValue.data()), &size, 0))
    throw CryptCallError("CryptGetHashParam HP_HASHVAL");
  HashValue.resize(size);
}

}  // namespace zuntar
