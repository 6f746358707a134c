// Owners of OpenSSL objects, the one-time loading of the GOST engine that
// gives OpenSSL the Russian algorithms, and helpers around OpenSSL's ways.
//
// Everything the layer, its tool, tests and benchmarks get from OpenSSL is
// held by one of the owners below from the moment it is made; a type that
// is missing is added here, never freed by hand.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>

#include "platform/capi/base/crypt_types.h"

namespace zuntar::ossl {

namespace detail {

template <auto Free>
struct Deleter {
  template <typename T>
  void operator()(T* p) const {
    Free(p);
  }
};
template <typename T, auto Free>
using Owner = std::unique_ptr<T, Deleter<Free>>;

// Stacks own their elements too.
inline void FreeX509Stack(STACK_OF(X509) * s) { sk_X509_pop_free(s, X509_free); }
inline void FreeCrlStack(STACK_OF(X509_CRL) * s) { sk_X509_CRL_pop_free(s, X509_CRL_free); }
// OPENSSL_free is a macro.
inline void FreeBuffer(unsigned char* p) { OPENSSL_free(p); }

// The engine interface is deprecated: its release lives where that is
// allowed (ossl.cpp).
struct EngineRelease {
  void operator()(ENGINE* engine) const;
};

}  // namespace detail

// Keys and the operations on them.
using PKeyPtr = detail::Owner<EVP_PKEY, EVP_PKEY_free>;
using PKeyCtxPtr = detail::Owner<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using MdCtxPtr = detail::Owner<EVP_MD_CTX, EVP_MD_CTX_free>;
using CipherCtxPtr = detail::Owner<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using EnginePtr = std::unique_ptr<ENGINE, detail::EngineRelease>;
// A key shared by several holders (a provider's key objects).
using PKeyShared = std::shared_ptr<EVP_PKEY>;

// Certificates, CRLs, their names and pieces, and their verification.
using X509Ptr = detail::Owner<X509, X509_free>;
using X509CrlPtr = detail::Owner<X509_CRL, X509_CRL_free>;
using X509PubKeyPtr = detail::Owner<X509_PUBKEY, X509_PUBKEY_free>;
using X509NamePtr = detail::Owner<X509_NAME, X509_NAME_free>;
using X509ExtensionPtr = detail::Owner<X509_EXTENSION, X509_EXTENSION_free>;
using X509RevokedPtr = detail::Owner<X509_REVOKED, X509_REVOKED_free>;
using X509StorePtr = detail::Owner<X509_STORE, X509_STORE_free>;
using X509StoreCtxPtr = detail::Owner<X509_STORE_CTX, X509_STORE_CTX_free>;
using X509StackPtr = detail::Owner<STACK_OF(X509), detail::FreeX509Stack>;
using CrlStackPtr = detail::Owner<STACK_OF(X509_CRL), detail::FreeCrlStack>;

// Decoded extension values.
using BasicConstraintsPtr = detail::Owner<BASIC_CONSTRAINTS, BASIC_CONSTRAINTS_free>;
using ExtendedKeyUsagePtr = detail::Owner<EXTENDED_KEY_USAGE, EXTENDED_KEY_USAGE_free>;
using CertificatePoliciesPtr = detail::Owner<CERTIFICATEPOLICIES, CERTIFICATEPOLICIES_free>;
using PolicyInfoPtr = detail::Owner<POLICYINFO, POLICYINFO_free>;
using GeneralNamesPtr = detail::Owner<GENERAL_NAMES, GENERAL_NAMES_free>;
using GeneralNamePtr = detail::Owner<GENERAL_NAME, GENERAL_NAME_free>;
using PKeyUsagePeriodPtr = detail::Owner<PKEY_USAGE_PERIOD, PKEY_USAGE_PERIOD_free>;

// ASN.1 values and big numbers.
using Asn1ObjectPtr = detail::Owner<ASN1_OBJECT, ASN1_OBJECT_free>;
using Asn1IntegerPtr = detail::Owner<ASN1_INTEGER, ASN1_INTEGER_free>;
using Asn1TimePtr = detail::Owner<ASN1_TIME, ASN1_TIME_free>;
using Asn1OctetStringPtr = detail::Owner<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>;
using Asn1BitStringPtr = detail::Owner<ASN1_BIT_STRING, ASN1_BIT_STRING_free>;
using Asn1StringPtr = detail::Owner<ASN1_STRING, ASN1_STRING_free>;
using Asn1TypePtr = detail::Owner<ASN1_TYPE, ASN1_TYPE_free>;
using BignumPtr = detail::Owner<BIGNUM, BN_free>;

// Private keys in transit.
using Pkcs8InfoPtr = detail::Owner<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>;
using X509SigPtr = detail::Owner<X509_SIG, X509_SIG_free>;
using Pkcs12Ptr = detail::Owner<PKCS12, PKCS12_free>;

// Messages and the I/O under them. A BIO owns the chain behind it.
using CmsPtr = detail::Owner<CMS_ContentInfo, CMS_ContentInfo_free>;
using BioPtr = detail::Owner<BIO, BIO_free_all>;

// Bytes OpenSSL allocated for the caller (i2d output, converted text).
using BufferPtr = detail::Owner<unsigned char, detail::FreeBuffer>;

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

// Shares a key, its owner passing to the shared pointer.
inline PKeyShared Share(PKeyPtr key) { return PKeyShared(std::move(key)); }

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
