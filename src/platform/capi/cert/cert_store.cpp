#include "platform/capi/cert/cert_store.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "platform/capi/base/error_codes.h"
#include "platform/platform_root.h"

namespace zuntar {
namespace {

bool SameCertificate(const PCCERT_CONTEXT& a, const PCCERT_CONTEXT& b) {
  return a->Info().Issuer == b->Info().Issuer && CertCompareIntegerBlob(a->Info().SerialNumber, b->Info().SerialNumber);
}

std::string StemOf(const PCCERT_CONTEXT& c) { return c->Entry().stem; }

bool ValidStoreName(const std::string& name) {
  return !name.empty() && name.size() < 128 &&
         std::all_of(name.begin(), name.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-'; });
}

std::string UpperName(std::string name) {
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

}  // namespace

std::string SystemStorePath(DWORD location, const std::string& name) {
  const std::string base = location == CERT_SYSTEM_STORE_LOCAL_MACHINE ? MachineDir() : UserDir();
  return base + "/stores/" + UpperName(name);
}

CertStore::CertStore(DWORD location, const std::string& name, bool read_only)
    : folder_(StoreFolder(SystemStorePath(location, name))), read_only_(read_only) {}

CertStore::CertStore() = default;

const std::string& CertStore::path() const {
  static const std::string empty;
  return folder_ ? folder_->path() : empty;
}

PCCERT_CONTEXT CertStore::LoadCertificate(const std::string& stem) {
  Bytes der;
  if (!folder_->Read(stem, ".cer", &der)) return nullptr;
  PCCERT_CONTEXT ctx = CertContext::Decode(der);
  if (ctx == nullptr) return nullptr;  // a damaged file is skipped, not fatal
  Bytes props;
  if (folder_->Read(stem, ".prop", &props)) ctx->LoadProperties(DecodeProperties(props));
  ctx->SetEntry({weak_from_this(), folder_->path(), stem});
  if (!read_only_) {
    StoreFolder folder = *folder_;
    ctx->SetPropertySink([folder, stem](const std::map<DWORD, Bytes>& all) {
      folder.Write(stem, ".prop", EncodeProperties(all));
    });
  }
  return ctx;
}

std::vector<PCCERT_CONTEXT> CertStore::Certificates() {
  if (!folder_) {
    MutexLock lock(mu_);
    return memory_certs_;
  }
  std::vector<PCCERT_CONTEXT> out;
  for (const std::string& stem : folder_->Entries(".cer"))
    if (PCCERT_CONTEXT ctx = LoadCertificate(stem)) out.push_back(std::move(ctx));
  return out;
}

std::vector<PCCRL_CONTEXT> CertStore::Crls() {
  if (!folder_) {
    MutexLock lock(mu_);
    return memory_crls_;
  }
  std::vector<PCCRL_CONTEXT> out;
  for (const std::string& stem : folder_->Entries(".crl")) {
    Bytes der;
    if (!folder_->Read(stem, ".crl", &der)) continue;
    if (PCCRL_CONTEXT ctx = CrlContext::Decode(der)) out.push_back(std::move(ctx));
  }
  return out;
}

CertStore::Snapshot CertStore::EnumerationSnapshot(bool refresh) {
  if (refresh) {
    auto fresh = std::make_shared<const std::vector<PCCERT_CONTEXT>>(Certificates());
    MutexLock lock(mu_);
    snapshot_ = std::move(fresh);
  }
  MutexLock lock(mu_);
  return snapshot_;
}

bool CertStore::BeginAdd(bool has_context, DWORD disposition, UniqueFd* lock) {
  if (!has_context || disposition < CERT_STORE_ADD_NEW || disposition > CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES)
    return Fail(E_INVALIDARG);
  if (read_only_) return Fail(E_ACCESSDENIED);
  if (folder_) {
    *lock = folder_->Lock();
    if (!lock->valid()) return Fail(ERROR_ACCESS_DENIED);
  }
  return true;
}

bool CertStore::AddCertificate(const PCCERT_CONTEXT& context, DWORD disposition, PCCERT_CONTEXT* added) {
  UniqueFd lock;
  if (!BeginAdd(context != nullptr, disposition, &lock)) return false;
  MutexLock guard(mu_);
  const std::vector<PCCERT_CONTEXT> present = folder_ ? Certificates() : memory_certs_;
  PCCERT_CONTEXT existing;
  // Add-always makes no check: in a memory store a second copy joins the
  // first. A system store keeps one entry per certificate hash (the
  // platform's registry keys are the hashes), so there the new copy, with
  // its properties, takes the place of an identical one.
  if (disposition != CERT_STORE_ADD_ALWAYS) {
    for (const PCCERT_CONTEXT& c : present)
      if (SameCertificate(c, context)) existing = c;
  } else if (folder_) {
    for (const PCCERT_CONTEXT& c : present)
      if (c->Sha1() == context->Sha1()) existing = c;
  }

  std::map<DWORD, Bytes> properties = context->Properties();
  if (existing != nullptr) {
    std::map<DWORD, Bytes> old = existing->Properties();
    switch (disposition) {
      case CERT_STORE_ADD_NEW:
        if (added != nullptr) *added = existing;
        return Fail(CRYPT_E_EXISTS);
      case CERT_STORE_ADD_USE_EXISTING:
        for (const auto& [id, value] : properties)
          if (!old.count(id)) existing->SetProperty(id, &value);
        if (added != nullptr) *added = existing;
        return true;
      case CERT_STORE_ADD_NEWER:
      case CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES:
        if (existing->Info().NotBefore >= context->Info().NotBefore) {
          if (added != nullptr) *added = existing;
          return Fail(CRYPT_E_EXISTS);
        }
        break;
      default:
        break;
    }
    if (disposition == CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES ||
        disposition == CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES)
      for (const auto& [id, value] : old) properties.emplace(id, value);
  }

  if (!folder_) {
    PCCERT_CONTEXT copy = CertContext::Decode(context->Encoded());
    copy->LoadProperties(properties);
    copy->SetEntry({weak_from_this(), {}, {}});
    if (existing != nullptr)
      std::replace(memory_certs_.begin(), memory_certs_.end(), existing, copy);
    else
      memory_certs_.push_back(copy);
    if (added != nullptr) *added = copy;
    return true;
  }
  // A replaced certificate keeps its place in the enumeration order.
  const std::string stem = existing != nullptr ? StemOf(existing) : folder_->NewStem(HexUpper(context->Sha1()));
  const std::string new_stem = existing != nullptr && StemOf(existing).substr(9) != HexUpper(context->Sha1())
                                   ? stem.substr(0, 9) + HexUpper(context->Sha1())
                                   : stem;
  if (!folder_->Write(new_stem, ".prop", EncodeProperties(properties)) ||
      !folder_->Write(new_stem, ".cer", context->Encoded()))
    return Fail(ERROR_ACCESS_DENIED);
  if (new_stem != stem) {
    folder_->Remove(stem, ".cer");
    folder_->Remove(stem, ".prop");
  }
  if (added != nullptr) *added = LoadCertificate(new_stem);
  return true;
}

bool CertStore::DeleteCertificate(const PCCERT_CONTEXT& context) {
  if (read_only_) return Fail(E_ACCESSDENIED);
  MutexLock guard(mu_);
  if (!folder_) {
    auto it = std::find_if(memory_certs_.begin(), memory_certs_.end(),
                           [&](const PCCERT_CONTEXT& c) { return c->Sha1() == context->Sha1(); });
    if (it == memory_certs_.end()) return Fail(CRYPT_E_NOT_FOUND);
    memory_certs_.erase(it);
    return true;
  }
  UniqueFd lock = folder_->Lock();
  const std::string stem = StemOf(context);
  Bytes probe;
  if (stem.empty() || !folder_->Read(stem, ".cer", &probe)) return Fail(CRYPT_E_NOT_FOUND);
  folder_->Remove(stem, ".cer");
  folder_->Remove(stem, ".prop");
  return true;
}

bool CertStore::AddCrl(const PCCRL_CONTEXT& context, DWORD disposition, PCCRL_CONTEXT* added) {
  UniqueFd lock;
  if (!BeginAdd(context != nullptr, disposition, &lock)) return false;
  MutexLock guard(mu_);
  // One CRL per issuer: a newer list replaces the older one.
  PCCRL_CONTEXT existing;
  std::string existing_stem;
  if (folder_) {
    for (const std::string& stem : folder_->Entries(".crl")) {
      Bytes der;
      PCCRL_CONTEXT c = folder_->Read(stem, ".crl", &der) ? CrlContext::Decode(der) : nullptr;
      if (c != nullptr && c->Info().Issuer == context->Info().Issuer) {
        existing = c;
        existing_stem = stem;
      }
    }
  } else {
    for (const PCCRL_CONTEXT& c : memory_crls_)
      if (c->Info().Issuer == context->Info().Issuer) existing = c;
  }
  if (existing != nullptr) {
    const bool newer_only = disposition == CERT_STORE_ADD_NEWER || disposition == CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES;
    if (disposition == CERT_STORE_ADD_NEW || disposition == CERT_STORE_ADD_USE_EXISTING ||
        (newer_only && existing->Info().ThisUpdate >= context->Info().ThisUpdate)) {
      if (added != nullptr) *added = existing;
      if (disposition == CERT_STORE_ADD_USE_EXISTING) return true;
      return Fail(CRYPT_E_EXISTS);
    }
  }
  if (!folder_) {
    if (existing != nullptr)
      std::replace(memory_crls_.begin(), memory_crls_.end(), existing, context);
    else
      memory_crls_.push_back(context);
  } else {
    const std::string stem = existing != nullptr ? existing_stem.substr(0, 9) + HexUpper(context->Sha1())
                                                 : folder_->NewStem(HexUpper(context->Sha1()));
    if (!folder_->Write(stem, ".crl", context->Encoded())) return Fail(ERROR_ACCESS_DENIED);
    if (existing != nullptr && existing_stem != stem) folder_->Remove(existing_stem, ".crl");
  }
  if (added != nullptr) *added = context;
  return true;
}

// ---- Operations --------------------------------------------------------------

HCERTSTORE CertOpenStore(DWORD store_provider, DWORD, HCRYPTPROV_LEGACY, DWORD flags, const std::string& para) {
  if (store_provider == CERT_STORE_PROV_MEMORY) return std::make_shared<CertStore>();
  if (store_provider != CERT_STORE_PROV_SYSTEM_A && store_provider != CERT_STORE_PROV_SYSTEM_W) {
    SetLastError(E_INVALIDARG);
    return nullptr;
  }
  const DWORD location = flags & CERT_SYSTEM_STORE_LOCATION_MASK;
  if ((location != CERT_SYSTEM_STORE_CURRENT_USER && location != CERT_SYSTEM_STORE_LOCAL_MACHINE) ||
      !ValidStoreName(para)) {
    SetLastError(E_INVALIDARG);
    return nullptr;
  }
  auto store = std::make_shared<CertStore>(location, para, (flags & CERT_STORE_READONLY_FLAG) != 0);
  if (!StoreFolder(store->path()).Exists()) {
    if ((flags & CERT_STORE_OPEN_EXISTING_FLAG) != 0) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return nullptr;
    }
    // Something else where the store's folder belongs: the store cannot
    // be reached, as a system store whose key cannot be opened.
    std::error_code ec;
    if (std::filesystem::exists(store->path(), ec)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
  }
  return store;
}

HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV_LEGACY prov, const std::string& name) {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_A, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, prov,
                       CERT_SYSTEM_STORE_CURRENT_USER, name);
}

bool CertCloseStore(HCERTSTORE& store, DWORD) {
  store.reset();
  return true;
}

namespace {

// Index just after prev in the snapshot (0 for null prev).
size_t StartAfter(const std::vector<PCCERT_CONTEXT>& snapshot, const PCCERT_CONTEXT& prev, size_t hint) {
  if (prev == nullptr) return 0;
  if (hint < snapshot.size() && snapshot[hint] == prev) return hint + 1;
  for (size_t i = 0; i < snapshot.size(); ++i)
    if (snapshot[i] == prev) return i + 1;
  for (size_t i = 0; i < snapshot.size(); ++i)
    if (snapshot[i]->Sha1() == prev->Sha1()) return i + 1;
  return snapshot.size();
}

bool Matches(const PCCERT_CONTEXT& c, DWORD find_type, const CertFindPara& para) {
  switch (find_type) {
    case CERT_FIND_ANY:
      return true;
    case CERT_FIND_SHA1_HASH:
      return std::holds_alternative<Bytes>(para) && c->Sha1() == std::get<Bytes>(para);
    case CERT_FIND_PUBLIC_KEY: {
      const auto* key = std::get<const CERT_PUBLIC_KEY_INFO*>(para);
      return key != nullptr && CertComparePublicKeyInfo(X509_ASN_ENCODING, c->Info().SubjectPublicKeyInfo, *key);
    }
    case CERT_FIND_SUBJECT_CERT: {
      const auto* info = std::get<const CERT_INFO*>(para);
      return info != nullptr && CertCompareCertificateName(X509_ASN_ENCODING, c->Info().Issuer, info->Issuer) &&
             CertCompareIntegerBlob(c->Info().SerialNumber, info->SerialNumber);
    }
    case CERT_FIND_PROPERTY: {
      Bytes value;
      return c->GetProperty(std::get<DWORD>(para), &value);
    }
    default:
      return false;
  }
}

bool ParaFits(DWORD find_type, const CertFindPara& para) {
  switch (find_type) {
    case CERT_FIND_ANY: return true;
    case CERT_FIND_SHA1_HASH: return std::holds_alternative<Bytes>(para);
    case CERT_FIND_PUBLIC_KEY: return std::holds_alternative<const CERT_PUBLIC_KEY_INFO*>(para);
    case CERT_FIND_SUBJECT_CERT: return std::holds_alternative<const CERT_INFO*>(para);
    case CERT_FIND_PROPERTY: return std::holds_alternative<DWORD>(para);
    default: return false;
  }
}

}  // namespace

PCCERT_CONTEXT CertEnumCertificatesInStore(const HCERTSTORE& store, const PCCERT_CONTEXT& prev) {
  if (store == nullptr) {
    SetLastError(E_INVALIDARG);
    return nullptr;
  }
  const CertStore::Snapshot snapshot = store->EnumerationSnapshot(prev == nullptr);
  const size_t i = StartAfter(*snapshot, prev, store->EnumerationHint());
  if (i >= snapshot->size()) {
    SetLastError(CRYPT_E_NOT_FOUND);
    return nullptr;
  }
  store->SetEnumerationHint(i);
  return (*snapshot)[i];
}

PCCERT_CONTEXT CertFindCertificateInStore(const HCERTSTORE& store, DWORD, DWORD, DWORD find_type,
                                          const CertFindPara& para, const PCCERT_CONTEXT& prev) {
  if (store == nullptr || !ParaFits(find_type, para)) {
    SetLastError(E_INVALIDARG);
    return nullptr;
  }
  const CertStore::Snapshot snapshot = store->EnumerationSnapshot(prev == nullptr);
  for (size_t i = StartAfter(*snapshot, prev, store->EnumerationHint()); i < snapshot->size(); ++i) {
    if (Matches((*snapshot)[i], find_type, para)) {
      store->SetEnumerationHint(i);
      return (*snapshot)[i];
    }
  }
  SetLastError(CRYPT_E_NOT_FOUND);
  return nullptr;
}

bool CertAddCertificateContextToStore(const HCERTSTORE& store, const PCCERT_CONTEXT& context, DWORD disposition,
                                      PCCERT_CONTEXT* store_context) {
  if (store == nullptr) return Fail(E_INVALIDARG);
  return store->AddCertificate(context, disposition, store_context);
}

bool CertAddEncodedCertificateToStore(const HCERTSTORE& store, DWORD encoding, const Bytes& der, DWORD disposition,
                                      PCCERT_CONTEXT* store_context) {
  PCCERT_CONTEXT ctx = CertCreateCertificateContext(encoding, der);
  if (ctx == nullptr) return false;
  return CertAddCertificateContextToStore(store, ctx, disposition, store_context);
}

bool CertDeleteCertificateFromStore(const PCCERT_CONTEXT& context) {
  if (context == nullptr) return Fail(E_INVALIDARG);
  const CertContext::StoreEntry entry = context->Entry();
  if (std::shared_ptr<CertStore> store = entry.store.lock()) return store->DeleteCertificate(context);
  // The handle it came from is closed; the files are still there.
  if (entry.folder.empty() || entry.stem.empty()) return Fail(E_INVALIDARG);
  const StoreFolder folder(entry.folder);
  UniqueFd lock = folder.Lock();
  folder.Remove(entry.stem, ".cer");
  folder.Remove(entry.stem, ".prop");
  return true;
}

bool CertAddCRLContextToStore(const HCERTSTORE& store, const PCCRL_CONTEXT& context, DWORD disposition,
                              PCCRL_CONTEXT* store_context) {
  if (store == nullptr) return Fail(E_INVALIDARG);
  return store->AddCrl(context, disposition, store_context);
}

PCCRL_CONTEXT CertEnumCRLsInStore(const HCERTSTORE& store, const PCCRL_CONTEXT& prev) {
  if (store == nullptr) {
    SetLastError(E_INVALIDARG);
    return nullptr;
  }
  const std::vector<PCCRL_CONTEXT> crls = store->Crls();
  size_t i = 0;
  if (prev != nullptr) {
    while (i < crls.size() && crls[i]->Sha1() != prev->Sha1()) ++i;
    ++i;
  }
  if (i >= crls.size()) {
    SetLastError(CRYPT_E_NOT_FOUND);
    return nullptr;
  }
  return crls[i];
}

}  // namespace zuntar
