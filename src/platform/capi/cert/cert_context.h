// Certificate contexts: a certificate's DER, its decoded fields and its
// properties, shared by every duplicate of the context.
//
// PCCERT_CONTEXT is a shared pointer: duplicating a context copies the
// pointer, freeing it resets the caller's copy, and the certificate lives as
// long as anyone holds it (a context taken from a store outlives the store's
// handle, as on Windows). A context that came from a persistent store writes
// its property changes back to that store.
#pragma once

#include <functional>
#include <map>
#include <memory>

#include "platform/capi/base/crypt_types.h"
#include "platform/thread_annotations.h"

// OpenSSL's certificate and time types, declared as OpenSSL declares them,
// so that the layers above reach certificates without OpenSSL's headers.
typedef struct x509_st X509;
typedef struct asn1_string_st ASN1_TIME;

namespace zuntar {

class CertStore;

class CertContext {
 public:
  // The store entry a context was read from; an empty stem for contexts
  // that belong to no persistent store.
  struct StoreEntry {
    std::weak_ptr<CertStore> store;
    std::string folder;  // of a persistent store
    std::string stem;
  };

  // Called with the full property set after every change of a context that
  // belongs to a persistent store.
  using PropertySink = std::function<void(const std::map<DWORD, Bytes>&)>;

  // Null (last error set) when the bytes are not exactly one certificate.
  static std::shared_ptr<CertContext> Decode(const Bytes& der);

  const Bytes& Encoded() const { return encoded_; }
  const CERT_INFO& Info() const { return info_; }
  X509* Certificate() const { return x509_.get(); }

  // The SHA-1 hash of the encoding, computed once.
  const Bytes& Sha1() const { return sha1_; }

  bool GetProperty(DWORD id, Bytes* value) const;
  // A null value removes the property.
  void SetProperty(DWORD id, const Bytes* value);
  std::map<DWORD, Bytes> Properties() const;
  // Loads stored properties without writing them back.
  void LoadProperties(std::map<DWORD, Bytes> properties);
  void SetPropertySink(PropertySink sink);

  StoreEntry Entry() const;
  void SetEntry(StoreEntry entry);

  // A provider handle kept with the context (CRYPT_ACQUIRE_CACHE_FLAG).
  // Type-erased so that certificates need not know about providers.
  std::shared_ptr<void> CachedKey(DWORD* key_spec) const;
  void SetCachedKey(std::shared_ptr<void> handle, DWORD key_spec);

 private:
  // X509_free, where OpenSSL's headers are.
  struct X509Free {
    void operator()(X509* x) const;
  };

  CertContext() = default;

  Bytes encoded_;
  CERT_INFO info_;
  std::unique_ptr<X509, X509Free> x509_;
  Bytes sha1_;

  mutable Mutex mu_;
  std::map<DWORD, Bytes> properties_ GUARDED_BY(mu_);
  PropertySink sink_ GUARDED_BY(mu_);
  StoreEntry entry_ GUARDED_BY(mu_);
  std::shared_ptr<void> cached_key_ GUARDED_BY(mu_);
  DWORD cached_key_spec_ GUARDED_BY(mu_) = 0;
};

using PCCERT_CONTEXT = std::shared_ptr<CertContext>;

// ---- CryptoAPI operations ----------------------------------------------------

PCCERT_CONTEXT CertCreateCertificateContext(DWORD encoding, const Bytes& der);
PCCERT_CONTEXT CertDuplicateCertificateContext(const PCCERT_CONTEXT& context);
bool CertFreeCertificateContext(PCCERT_CONTEXT& context);

// Size-query form: data null asks for the size; a short buffer fails with
// ERROR_MORE_DATA and *size set to what is needed. The SHA-1 hash property
// is always available. Missing property: CRYPT_E_NOT_FOUND.
bool CertGetCertificateContextProperty(const PCCERT_CONTEXT& context, DWORD prop_id, BYTE* data, DWORD* size);
bool CertGetCertificateContextProperty(const PCCERT_CONTEXT& context, DWORD prop_id, Bytes* value);
bool CertGetCertificateContextProperty(const PCCERT_CONTEXT& context, DWORD prop_id, CRYPT_KEY_PROV_INFO* info);

// A null value removes the property.
bool CertSetCertificateContextProperty(const PCCERT_CONTEXT& context, DWORD prop_id, DWORD flags, const Bytes* value);
bool CertSetCertificateContextProperty(const PCCERT_CONTEXT& context, DWORD prop_id, DWORD flags,
                                       const CRYPT_KEY_PROV_INFO* info);

// The next property id after prev (0 starts), 0 at the end.
DWORD CertEnumCertificateContextProperties(const PCCERT_CONTEXT& context, DWORD prev_prop_id);

// Byte-wise comparison of two encoded names.
bool CertCompareCertificateName(DWORD encoding, const Bytes& name1, const Bytes& name2);
// Compares two little-endian integers, ignoring insignificant high bytes
// (0x00 above a non-negative value, 0xFF above a negative one).
bool CertCompareIntegerBlob(const Bytes& int1, const Bytes& int2);
// Same algorithm and same public key bits.
bool CertComparePublicKeyInfo(DWORD encoding, const CERT_PUBLIC_KEY_INFO& key1, const CERT_PUBLIC_KEY_INFO& key2);

// Key-provider information in the byte form the stores keep.
Bytes EncodeKeyProvInfo(const CRYPT_KEY_PROV_INFO& info);
bool DecodeKeyProvInfo(const Bytes& bytes, CRYPT_KEY_PROV_INFO* info);

// An ASN.1 time as FILETIME; false when it cannot be converted.
bool FileTimeFromAsn1(const ASN1_TIME* time, FILETIME* out);
// Seconds since 1970 (UTC) to FILETIME and back.
FILETIME FileTimeFromUnix(int64_t seconds);
int64_t UnixFromFileTime(FILETIME ft);

// Copies bytes into a caller's buffer with the size-query rules.
bool CopyOut(const Bytes& value, BYTE* data, DWORD* size);

}  // namespace zuntar
