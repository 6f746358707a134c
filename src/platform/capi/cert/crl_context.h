// CRL contexts: a certificate revocation list's DER and decoded fields.
#pragma once

#include <memory>

#include "platform/capi/base/crypt_types.h"

// OpenSSL's revocation-list type, declared as OpenSSL declares it, so that
// the layers above reach CRL contexts without OpenSSL's headers.
typedef struct X509_crl_st X509_CRL;

namespace zuntar {

class CrlContext {
 public:
  // Null (last error set) when the bytes are not exactly one CRL.
  static std::shared_ptr<CrlContext> Decode(const Bytes& der);

  const Bytes& Encoded() const { return encoded_; }
  const CRL_INFO& Info() const { return info_; }
  X509_CRL* Crl() const { return crl_.get(); }
  const Bytes& Sha1() const { return sha1_; }

 private:
  // X509_CRL_free, where OpenSSL's headers are.
  struct CrlFree {
    void operator()(X509_CRL* crl) const;
  };

  CrlContext() = default;
  Bytes encoded_;
  CRL_INFO info_;
  std::unique_ptr<X509_CRL, CrlFree> crl_;
  Bytes sha1_;
};

using PCCRL_CONTEXT = std::shared_ptr<CrlContext>;

PCCRL_CONTEXT CertCreateCRLContext(DWORD encoding, const Bytes& der);
bool CertFreeCRLContext(PCCRL_CONTEXT& context);

}  // namespace zuntar
