#include "crypto/cert_lookup.h"

#include <algorithm>
#include <atomic>

#include "core/text.h"
#include "crypto/cert_identity.h"

namespace zuntar {
namespace {

std::atomic<CertificateLookupFunc> lookup_hook{nullptr};

std::string WithoutBlanks(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
  return text;
}

HCERTSTORE OpenPersonal(bool current_user) {
  return current_user ? OpenCurrentUserStore() : OpenLocalMachineStore(true);
}

bool HasContainerLink(const PCCERT_CONTEXT& cert) {
  CRYPT_KEY_PROV_INFO info;
  return CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, &info) &&
         !info.pwszContainerName.empty();
}

}  // namespace

HCERTSTORE OpenCurrentUserStore(const char* name) { return CertOpenSystemStoreA(0, name); }

HCERTSTORE OpenLocalMachineStore(bool read_only, const char* name) {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM, 0, 0,
                       CERT_SYSTEM_STORE_LOCAL_MACHINE | (read_only ? CERT_STORE_READONLY_FLAG : 0), name);
}

void SetCertificateLookupHook(CertificateLookupFunc hook) { lookup_hook.store(hook, std::memory_order_release); }

CertificateLookupFunc CertificateLookupHook() { return lookup_hook.load(std::memory_order_acquire); }

PCCERT_CONTEXT FindStoreCertBySerial(const std::string& serial, bool current_user) {
  const std::string wanted = WithoutBlanks(serial);
  HCERTSTORE store = OpenPersonal(current_user);
  if (store == nullptr) return nullptr;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store, c))
    if (SameText(CertSerialHex(c), wanted)) return c;
  return nullptr;
}

PCCERT_CONTEXT LocateCertificate(const Bytes& cert_body, bool current_user) {
  PCCERT_CONTEXT decoded = DecodeCertificate(cert_body);
  if (decoded == nullptr) return nullptr;
  const Bytes hash = CertThumbprint(decoded);
  if (hash.empty()) return decoded;
  PCCERT_CONTEXT found;
  if (HCERTSTORE store = OpenPersonal(current_user)) {
    found = CertFindCertificateInStore(store, kMsgEncoding, 0, CERT_FIND_SHA1_HASH, hash, nullptr);
    if (found == nullptr)
      found = CertFindCertificateInStore(store, kMsgEncoding, 0, CERT_FIND_PUBLIC_KEY,
                                         &decoded->Info().SubjectPublicKeyInfo, nullptr);
  }
  if (found != nullptr) return found;
  return current_user ? nullptr : decoded;
}

PCCERT_CONTEXT FindCertByThumbprint(const Bytes& hash) {
  HCERTSTORE store = OpenCurrentUserStore();
  if (store == nullptr) return nullptr;
  return CertFindCertificateInStore(store, kMsgEncoding, 0, CERT_FIND_SHA1_HASH, hash, nullptr);
}

bool CertHasKeyContainer(const PCCERT_CONTEXT& cert) {
  if (cert == nullptr) return false;
  HCERTSTORE store = OpenCurrentUserStore();
  if (store == nullptr) return false;
  const Bytes hash = CertThumbprint(cert);
  if (!hash.empty()) {
    for (PCCERT_CONTEXT c = CertFindCertificateInStore(store, kMsgEncoding, 0, CERT_FIND_SHA1_HASH, hash, nullptr);
         c != nullptr; c = CertFindCertificateInStore(store, kMsgEncoding, 0, CERT_FIND_SHA1_HASH, hash, c))
      if (HasContainerLink(c)) return true;
    return false;
  }
  const std::string serial = CertSerialHex(cert);
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store, c))
    if (CertSerialHex(c) == serial && HasContainerLink(c)) return true;
  return false;
}

}  // namespace zuntar
