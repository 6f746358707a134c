// The certificate manager's store maintenance: the store it keeps open,
// certificates and revocation lists added to the current user's stores,
// the private-key test and the installation of personal certificates.
#include "certs/os_error.h"
#include "core/utf.h"
#include "crypto/cert_identity.h"
#include "crypto/cert_lookup.h"
#include "crypto/cert_manager_csp.h"
#include "crypto/certificate_key.h"
#include "crypto/personal_cert.h"
#include "platform/capi/base/error_codes.h"

namespace zuntar {
namespace {

constexpr char kDefaultStoreName[] = "CA";

HCERTSTORE OpenUserStore(const std::string& name) {
  HCERTSTORE store = CertOpenSystemStoreA(0, name.empty() ? kDefaultStoreName : name);
  if (store == nullptr) throw LastWin32Error();
  return store;
}

// An add that failed for another reason than the object being there
// already (or a newer revocation list being there).
[[noreturn]] void RaiseAddFailure(DWORD code) {
  throw Exception(AnsiFromUtf8("Ошибка добавления СОС, код ошибки ") + std::to_string(code));
}

}  // namespace

void TVCertMgrCSP::OpenStore(const std::string& name) {
  MutexLock lock(mu_);
  opened_store_.reset();
  // The platform's stores are files and need no provider; the context is
  // taken once, as the stores' owner, and its outcome does not matter.
  if (store_prov_ == nullptr) CryptAcquireContextA(&store_prov_, nullptr, nullptr, PROV_RSA_SIG, CRYPT_VERIFYCONTEXT);
  opened_store_ = OpenUserStore(name);
}

void TVCertMgrCSP::CloseStore() {
  MutexLock lock(mu_);
  opened_store_.reset();
}

HCERTSTORE TVCertMgrCSP::OpenedStoreOr(const std::string& name) {
  {
    MutexLock lock(mu_);
    if (opened_store_ != nullptr) return opened_store_;
  }
  return OpenUserStore(name);
}

void TVCertMgrCSP::AddCertToStore(const Bytes& cert_body, const std::string& store_name) {
  const PCCERT_CONTEXT cert = DecodeCertificate(cert_body);
  if (cert == nullptr) return;
  const HCERTSTORE store = OpenedStoreOr(store_name);
  if (!CertAddCertificateContextToStore(store, cert, CERT_STORE_ADD_NEW, nullptr)) {
    const DWORD code = GetLastError();
    if (code != CRYPT_E_EXISTS) RaiseAddFailure(code);
  }
}

void TVCertMgrCSP::ImportCrl(const Bytes& crl_body) {
  const PCCRL_CONTEXT crl = DecodeCrl(crl_body);
  if (crl == nullptr) throw Exception(AnsiFromUtf8("Некорректных формат списка отзыва!"));
  const HCERTSTORE store = OpenedStoreOr(kDefaultStoreName);
  // The newer list of an issuer stays; an older one is refused as existing.
  if (!CertAddCRLContextToStore(store, crl, CERT_STORE_ADD_NEWER, nullptr)) {
    const DWORD code = GetLastError();
    if (code != CRYPT_E_EXISTS) RaiseAddFailure(code);
  }
}

bool TVCertMgrCSP::HasPrivateKey(const Bytes& cert_body) {
  try {
    PCCERT_CONTEXT cert = LocateCertificate(cert_body, true);
    if (cert == nullptr) cert = LocateCertificate(cert_body, false);
    if (cert == nullptr) return false;
    return TryAcquireKey(cert, 0).has_value();
  } catch (const std::exception&) {
    return false;
  }
}

bool TVCertMgrCSP::InstallPersonalCert(const std::string& container_or_path, const Bytes& cert_body,
                                       std::string& error_text) {
  error_text.clear();
  try {
    return InstallPersonalCertificate(Providers(), container_or_path, cert_body, error_text);
  } catch (const std::exception& e) {
    error_text = e.what();
    return false;
  }
}

}  // namespace zuntar
