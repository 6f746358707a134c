// RAII owners for OpenSSL objects and the one-time loading of the GOST
// engine that gives OpenSSL the Russian algorithms.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

#include "platform/crypto/base/crypt_types.h"

namespace zuntar::ossl {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};

using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using X509CrlPtr = std::unique_ptr<X509_CRL, Deleter<X509_CRL, X509_CRL_free>>;
using PKeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using PKeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using X509PubKeyPtr = std::unique_ptr<X509_PUBKEY, Deleter<X509_PUBKEY, X509_PUBKEY_free>>;

// Loads the "gost" engine once per process and registers its algorithms.
// Returns false when the engine is not installed.
bool EnsureGostEngine();

// Digest and cipher implementations by short name ("md_gost12_256",
// "gost89-cbc"); null when unknown. The engine is loaded first.
const EVP_MD* DigestByName(const char* name);
const EVP_CIPHER* CipherByName(const char* name);

// The dotted text of an object identifier.
std::string OidText(const ASN1_OBJECT* obj);

// Clears OpenSSL's error queue of this thread (failures the layer turned into
// its own codes must not linger for unrelated callers).
void ClearErrors();

// Takes over the buffer an i2d function allocated: its `len` bytes, or
// nothing when the encoding failed (len <= 0).
Bytes TakeDer(int len, unsigned char* out);

// DER of an object through its i2d function; empty on failure. OpenSSL's
// i2d functions take their object const or not, hence the two forms.
template <typename T>
Bytes ToDer(int (*i2d)(T*, unsigned char**), T* obj) {
  unsigned char* out = nullptr;
  const int len = i2d(obj, &out);
  return TakeDer(len, out);
}
template <typename T>
Bytes ToDer(int (*i2d)(const T*, unsigned char**), const T* obj) {
  unsigned char* out = nullptr;
  const int len = i2d(obj, &out);
  return TakeDer(len, out);
}

// SHA-1 of the bytes (a certificate's or CRL's thumbprint).
Bytes Sha1(const Bytes& bytes);

inline const unsigned char* Data(const Bytes& b) { return reinterpret_cast<const unsigned char*>(b.data()); }

}  // namespace zuntar::ossl
