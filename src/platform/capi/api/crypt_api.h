// The provider side of the CryptoAPI-shaped layer: acquired contexts, keys,
// hashes, signatures and a certificate's private key.
//
// Handles are shared pointers. Releasing or destroying a handle resets the
// caller's copy; keys and hashes keep what they need of their provider
// alive. Operations return false and set the last error on failure.
// Functions with a buffer and a length follow the size-query rules: a null
// buffer asks for the size, a short one fails with ERROR_MORE_DATA and the
// size needed.
#pragma once

#include <memory>
#include <string>

#include "platform/capi/cert/cert_context.h"
#include "platform/capi/csp/csp_module.h"

namespace zuntar {

class CryptProvider;
class CryptKey;
class CryptHash;
using HCRYPTPROV = std::shared_ptr<CryptProvider>;
using HCRYPTKEY = std::shared_ptr<CryptKey>;
using HCRYPTHASH = std::shared_ptr<CryptHash>;

// A null container with CRYPT_VERIFYCONTEXT gives a context without keys; a
// null provider name takes the default provider of the type. The provider
// comes from the module registered for the name and type. Names are in the
// ANSI code page for the A form, as the names CryptGetProvParam returns.
bool CryptAcquireContextA(HCRYPTPROV* prov, const char* container, const char* provider, DWORD prov_type,
                          DWORD flags);
bool CryptAcquireContextW(HCRYPTPROV* prov, const char16_t* container, const char16_t* provider, DWORD prov_type,
                          DWORD flags);
bool CryptReleaseContext(HCRYPTPROV& prov, DWORD flags);

bool CryptGetProvParam(const HCRYPTPROV& prov, DWORD param, BYTE* data, DWORD* data_len, DWORD flags);
// String parameters (PINs, OIDs) end at their first NUL.
bool CryptSetProvParam(const HCRYPTPROV& prov, DWORD param, const Bytes& data, DWORD flags);

bool CryptGetUserKey(const HCRYPTPROV& prov, DWORD key_spec, HCRYPTKEY* key);
bool CryptGenKey(const HCRYPTPROV& prov, ALG_ID alg, DWORD flags, HCRYPTKEY* key);
bool CryptDestroyKey(HCRYPTKEY& key);
bool CryptGetKeyParam(const HCRYPTKEY& key, DWORD param, BYTE* data, DWORD* data_len, DWORD flags);
bool CryptGetKeyParam(const HCRYPTKEY& key, DWORD param, Bytes* value);
bool CryptSetKeyParam(const HCRYPTKEY& key, DWORD param, const Bytes& data, DWORD flags);
bool CryptExportKey(const HCRYPTKEY& key, const HCRYPTKEY& exp_key, DWORD blob_type, DWORD flags, BYTE* data,
                    DWORD* data_len);
bool CryptImportKey(const HCRYPTPROV& prov, const Bytes& blob, const HCRYPTKEY& pub_key, DWORD flags,
                    HCRYPTKEY* key);
bool CryptEncrypt(const HCRYPTKEY& key, const HCRYPTHASH& hash, bool final, DWORD flags, Bytes* data);
// In place: *data_len bytes in, *data_len bytes out. On failure the buffer
// is cleared and *data_len is 0: nothing undecrypted reads as plain text.
bool CryptDecrypt(const HCRYPTKEY& key, const HCRYPTHASH& hash, bool final, DWORD flags, BYTE* data,
                  DWORD* data_len);

bool CryptCreateHash(const HCRYPTPROV& prov, ALG_ID alg, const HCRYPTKEY& key, DWORD flags, HCRYPTHASH* hash);
bool CryptHashData(const HCRYPTHASH& hash, const BYTE* data, DWORD data_len, DWORD flags);
bool CryptSetHashParam(const HCRYPTHASH& hash, DWORD param, const Bytes& data, DWORD flags);
bool CryptGetHashParam(const HCRYPTHASH& hash, DWORD param, BYTE* data, DWORD* data_len, DWORD flags);
bool CryptDestroyHash(HCRYPTHASH& hash);
// The signature of the hash value with the context's key of the key spec, in
// the provider's byte order (the reverse of the standard encoding). A size
// query signs once; the value call that follows returns that signature.
bool CryptSignHashA(const HCRYPTHASH& hash, DWORD key_spec, const char* description, DWORD flags, BYTE* signature,
                    DWORD* sig_len);
bool CryptVerifySignatureA(const HCRYPTHASH& hash, const BYTE* signature, DWORD sig_len, const HCRYPTKEY& pub_key,
                           const char* description, DWORD flags);

bool CryptImportPublicKeyInfoEx(const HCRYPTPROV& prov, DWORD encoding, const CERT_PUBLIC_KEY_INFO& info,
                                ALG_ID alg, DWORD flags, void* reserved, HCRYPTKEY* key);
bool CryptExportPublicKeyInfo(const HCRYPTPROV& prov, DWORD key_spec, DWORD encoding, CERT_PUBLIC_KEY_INFO* info);

// The context of the certificate's key, through its key-provider
// information (CRYPT_E_NO_KEY_PROPERTY without it). With
// CRYPT_ACQUIRE_CACHE_FLAG the context stays with the certificate and
// *caller_free is false; otherwise the caller owns it (*caller_free true).
bool CryptAcquireCertificatePrivateKey(const PCCERT_CONTEXT& cert, DWORD flags, void* reserved, HCRYPTPROV* prov,
                                       DWORD* key_spec, bool* caller_free);

// Makes every loaded provider forget the private keys it keeps unlocked and
// their PINs (the plugin's Stop): the next signature with a PIN-protected
// key asks for the PIN again, also in contexts that are still open (a key
// handle that already holds its private key keeps it).
void DropPrivateKeyCache();
// Makes every provider, loaded now or later, forget an unlocked key once it
// has not been used for `minutes` (0, the default: kept until dropped).
void SetPrivateKeyCacheIdleLimit(uint32_t minutes);

// ---- Handle types ---------------------------------------------------------------

class CryptProvider {
 public:
  CryptProvider(std::unique_ptr<csp::Context> context, DWORD prov_type)
      : context_(std::move(context)), prov_type_(prov_type) {}
  csp::Context& context() { return *context_; }
  DWORD prov_type() const { return prov_type_; }

 private:
  std::unique_ptr<csp::Context> context_;
  DWORD prov_type_;
};

class CryptKey {
 public:
  CryptKey(HCRYPTPROV prov, std::unique_ptr<csp::Key> key) : prov_(std::move(prov)), key_(std::move(key)) {}
  csp::Key& key() { return *key_; }

 private:
  HCRYPTPROV prov_;  // first member: destroyed after the key
  std::unique_ptr<csp::Key> key_;
};

class CryptHash {
 public:
  CryptHash(HCRYPTPROV prov, std::unique_ptr<csp::Hash> hash) : prov_(std::move(prov)), hash_(std::move(hash)) {}
  csp::Hash& hash() { return *hash_; }
  // A signature made for a size query, handed out by the next call.
  Bytes pending_signature;
  DWORD pending_spec = 0;

 private:
  HCRYPTPROV prov_;
  std::unique_ptr<csp::Hash> hash_;
};

}  // namespace zuntar
