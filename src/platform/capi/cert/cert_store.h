// Certificate stores: the system stores ("MY", "CA", "ROOT", ...) of the
// current user and of the local machine, kept as folders (store_files.h), and
// in-memory stores.
//
// HCERTSTORE is a shared pointer; CertCloseStore resets the caller's copy.
// Contexts taken from a store stay valid after it is closed.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/capi/cert/cert_context.h"
#include "platform/capi/cert/crl_context.h"
#include "platform/capi/cert/store_files.h"
#include "platform/thread_annotations.h"

namespace zuntar {

class CertStore : public std::enable_shared_from_this<CertStore> {
 public:
  // A system store of a location (CERT_SYSTEM_STORE_CURRENT_USER or
  // CERT_SYSTEM_STORE_LOCAL_MACHINE).
  CertStore(DWORD location, const std::string& name, bool read_only);
  // An in-memory store.
  CertStore();

  bool read_only() const { return read_only_; }
  bool persistent() const { return folder_.has_value(); }
  const std::string& path() const;

  // The certificates now in the store, in the order they were added. A
  // persistent store reads its folder anew.
  std::vector<PCCERT_CONTEXT> Certificates();
  std::vector<PCCRL_CONTEXT> Crls();

  bool AddCertificate(const PCCERT_CONTEXT& context, DWORD disposition, PCCERT_CONTEXT* added);
  bool AddCrl(const PCCRL_CONTEXT& context, DWORD disposition, PCCRL_CONTEXT* added);
  bool DeleteCertificate(const PCCERT_CONTEXT& context);

  // Snapshot used by the enumeration calls of this handle: shared, so that
  // each step of an enumeration costs no copy of it.
  using Snapshot = std::shared_ptr<const std::vector<PCCERT_CONTEXT>>;
  Snapshot EnumerationSnapshot(bool refresh);
  // Where in the snapshot the enumeration returned its last context: the
  // next step starts there instead of searching the snapshot (a hint, checked
  // before it is used).
  size_t EnumerationHint() const { return enumeration_hint_.load(std::memory_order_relaxed); }
  void SetEnumerationHint(size_t index) { enumeration_hint_.store(index, std::memory_order_relaxed); }

 private:
  PCCERT_CONTEXT LoadCertificate(const std::string& stem);
  // The checks every add starts with; takes the folder's lock for a store on disk.
  bool BeginAdd(bool has_context, DWORD disposition, UniqueFd* lock);

  std::optional<StoreFolder> folder_;
  bool read_only_ = false;
  Mutex mu_;
  std::vector<PCCERT_CONTEXT> memory_certs_ GUARDED_BY(mu_);  // in-memory store only
  std::vector<PCCRL_CONTEXT> memory_crls_ GUARDED_BY(mu_);
  Snapshot snapshot_ GUARDED_BY(mu_) = std::make_shared<const std::vector<PCCERT_CONTEXT>>();
  std::atomic<size_t> enumeration_hint_{0};
};

using HCERTSTORE = std::shared_ptr<CertStore>;
using HCRYPTPROV_LEGACY = uintptr_t;

// CERT_STORE_PROV_SYSTEM_A/W: flags carry the location and
// CERT_STORE_READONLY_FLAG / CERT_STORE_OPEN_EXISTING_FLAG; para is the
// store name. CERT_STORE_PROV_MEMORY: an empty store. Null on failure.
HCERTSTORE CertOpenStore(DWORD store_provider, DWORD encoding, HCRYPTPROV_LEGACY prov, DWORD flags,
                         const std::string& para);
// The current user's system store of that name.
HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV_LEGACY prov, const std::string& name);
bool CertCloseStore(HCERTSTORE& store, DWORD flags);

// The certificate after prev (null starts), null at the end.
PCCERT_CONTEXT CertEnumCertificatesInStore(const HCERTSTORE& store, const PCCERT_CONTEXT& prev);

// Parameter of a search, by find type:
//   CERT_FIND_ANY           nothing
//   CERT_FIND_SHA1_HASH     the hash bytes
//   CERT_FIND_PUBLIC_KEY    a CERT_PUBLIC_KEY_INFO
//   CERT_FIND_SUBJECT_CERT  a CERT_INFO whose Issuer and SerialNumber are set
//   CERT_FIND_PROPERTY      the property id
using CertFindPara = std::variant<std::monostate, Bytes, const CERT_PUBLIC_KEY_INFO*, const CERT_INFO*, DWORD>;

// The next certificate after prev that matches; null with CRYPT_E_NOT_FOUND
// at the end.
PCCERT_CONTEXT CertFindCertificateInStore(const HCERTSTORE& store, DWORD encoding, DWORD find_flags,
                                          DWORD find_type, const CertFindPara& para, const PCCERT_CONTEXT& prev);

bool CertAddCertificateContextToStore(const HCERTSTORE& store, const PCCERT_CONTEXT& context, DWORD disposition,
                                      PCCERT_CONTEXT* store_context);
bool CertAddEncodedCertificateToStore(const HCERTSTORE& store, DWORD encoding, const Bytes& der, DWORD disposition,
                                      PCCERT_CONTEXT* store_context);
bool CertDeleteCertificateFromStore(const PCCERT_CONTEXT& context);

bool CertAddCRLContextToStore(const HCERTSTORE& store, const PCCRL_CONTEXT& context, DWORD disposition,
                              PCCRL_CONTEXT* store_context);
PCCRL_CONTEXT CertEnumCRLsInStore(const HCERTSTORE& store, const PCCRL_CONTEXT& prev);

// Folder of a system store (exposed for the certificate tool).
std::string SystemStorePath(DWORD location, const std::string& name);

}  // namespace zuntar
