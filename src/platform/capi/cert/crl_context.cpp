#include "platform/capi/cert/crl_context.h"

#include "platform/capi/base/error_codes.h"
#include "platform/capi/base/ossl.h"
#include "platform/capi/cert/cert_context.h"

namespace zuntar {

void CrlContext::CrlFree::operator()(X509_CRL* crl) const { X509_CRL_free(crl); }

std::shared_ptr<CrlContext> CrlContext::Decode(const Bytes& der) {
  ossl::EnsureGostEngine();
  const unsigned char* p = ossl::Data(der);
  ossl::X509CrlPtr crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size())));
  std::shared_ptr<CrlContext> ctx(new CrlContext());
  const unsigned char* name = nullptr;
  size_t name_len = 0;
  if (crl == nullptr || p != ossl::Data(der) + der.size() ||
      X509_NAME_get0_der(X509_CRL_get_issuer(crl.get()), &name, &name_len) != 1 ||
      !FileTimeFromAsn1(X509_CRL_get0_lastUpdate(crl.get()), &ctx->info_.ThisUpdate)) {
    ossl::ClearErrors();
    SetLastError(der.empty() ? CRYPT_E_ASN1_EOD : CRYPT_E_ASN1_BADTAG);
    return nullptr;
  }
  ctx->info_.Issuer.assign(reinterpret_cast<const char*>(name), name_len);
  if (X509_CRL_get0_nextUpdate(crl.get()) != nullptr)
    FileTimeFromAsn1(X509_CRL_get0_nextUpdate(crl.get()), &ctx->info_.NextUpdate);
  const X509_ALGOR* alg = nullptr;
  X509_CRL_get0_signature(crl.get(), nullptr, &alg);
  const ASN1_OBJECT* obj = nullptr;
  X509_ALGOR_get0(&obj, nullptr, nullptr, alg);
  ctx->info_.SignatureAlgorithm.pszObjId = ossl::OidText(obj);
  ctx->encoded_ = der;
  ctx->crl_.reset(crl.release());
  ctx->sha1_ = ossl::Sha1(der);
  return ctx;
}

PCCRL_CONTEXT CertCreateCRLContext(DWORD encoding, const Bytes& der) {
  if ((encoding & X509_ASN_ENCODING) == 0) {
    SetLastError(E_INVALIDARG);
    return nullptr;
  }
  return CrlContext::Decode(der);
}

bool CertFreeCRLContext(PCCRL_CONTEXT& context) {
  context.reset();
  return true;
}

}  // namespace zuntar
