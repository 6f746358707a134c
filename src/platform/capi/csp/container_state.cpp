#include "platform/capi/csp/container_state.h"

#include "platform/capi/base/error_codes.h"
#include "platform/capi/cert/cert_builder.h"
#include "platform/capi/cert/cert_context.h"
#include "platform/capi/csp/private_key_cache.h"
#include "platform/user_prompt.h"

namespace zuntar::csp {

void ContainerState::SetPin(const std::string& pin) {
  MutexLock lock(mu_);
  pin_ = SecretText(pin);
}

DWORD ContainerState::LoadKey(DWORD key_spec, std::shared_ptr<KeyPair>* pair) {
  MutexLock lock(mu_);
  if (const auto it = stored_.find(key_spec); it != stored_.end()) {
    *pair = it->second;
    return 0;
  }
  if (!location_) return NTE_NO_KEY;
  return OpenKey(key_spec, pair);
}

DWORD ContainerState::OpenKey(DWORD key_spec, std::shared_ptr<KeyPair>* pair) {
  PrivateKeyCache& cache = PrivateKeyCache::Process();
  const KeyContainerFolder folder(location_->folder);
  // Identified before it is read: a key replaced in between is then read
  // anew next time instead of being served under the new file's identity.
  const std::optional<KeyFileId> file = IdentifyKeyFile(folder.KeyPath(key_spec));
  if (!file) {
    if (folder.Reachable())
      cache.DropKey(folder.folder(), key_spec);
    else
      cache.Drop(folder.folder());
    return NTE_NO_KEY;
  }
  const std::string* given = pin_ ? &pin_->text() : nullptr;
  if ((*pair = cache.Find(folder.folder(), key_spec, *file, given))) return 0;
  // Another thread may have opened it while this one waited.
  const PrivateKeyCache::ContainerGuard opening = cache.LockContainer(folder.folder());
  if ((*pair = cache.Find(folder.folder(), key_spec, *file, given))) return 0;

  Bytes der;
  if (!folder.ReadKey(key_spec, &der)) return NTE_NO_KEY;
  const std::optional<SecretText> known = pin_ ? pin_ : cache.Pin(folder.folder());
  std::optional<SecretText> opened_with = known;
  bool encrypted = false;
  ossl::PKeyPtr pkey = PrivateKeyFromPkcs8(der, known ? known->text() : std::string(), &encrypted);
  if (pkey == nullptr && encrypted && pin_) return SCARD_W_WRONG_CHV;
  for (bool retry = false; pkey == nullptr && encrypted; retry = true) {
    if (flags_ & CRYPT_SILENT) return NTE_SILENT_CONTEXT;
    std::optional<std::string> answer = host_->prompt().AskPin(location_->name, retry);
    if (!answer) return SCARD_W_CANCELLED_BY_USER;
    opened_with = SecretText(*answer);
    WipeText(*answer);
    pkey = PrivateKeyFromPkcs8(der, opened_with->text(), &encrypted);
  }
  WipeText(der);
  if (pkey == nullptr || ParamsOfKey(pkey.get()) == nullptr) return NTE_BAD_KEYSET;
  auto loaded = std::make_shared<KeyPair>();
  loaded->params = ParamsOfKey(pkey.get());
  loaded->pkey = ossl::Share(std::move(pkey));
  loaded->key_spec = key_spec;
  cache.Put(folder.folder(), key_spec, *file, loaded, encrypted && opened_with ? &*opened_with : nullptr);
  *pair = std::move(loaded);
  return 0;
}

bool ContainerState::HasKey(DWORD key_spec) {
  MutexLock lock(mu_);
  return stored_.count(key_spec) > 0 || (location_ && KeyContainerFolder(location_->folder).HasKey(key_spec));
}

DWORD ContainerState::PublicKey(DWORD key_spec, ossl::PKeyShared* key) {
  {
    MutexLock lock(mu_);
    if (const auto it = stored_.find(key_spec); it != stored_.end()) {
      *key = it->second->pkey;
      return 0;
    }
    if (location_) {
      const KeyContainerFolder folder(location_->folder);
      Bytes der;
      if (folder.ReadPublicKey(key_spec, &der)) {
        const unsigned char* p = ossl::Data(der);
        ossl::PKeyPtr pub(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
        ossl::ClearErrors();
        if (pub != nullptr && ParamsOfKey(pub.get()) != nullptr) {
          *key = ossl::Share(std::move(pub));
          return 0;
        }
      }
      PCCERT_CONTEXT cert = folder.ReadCertificate(key_spec, &der) ? CertContext::Decode(der) : nullptr;
      ossl::PKeyPtr pub = cert != nullptr ? PublicKeyFromInfo(cert->Info().SubjectPublicKeyInfo) : nullptr;
      if (pub != nullptr) {
        *key = ossl::Share(std::move(pub));
        return 0;
      }
    }
  }
  // Nothing public beside the key: the key itself tells (and may need its PIN).
  std::shared_ptr<KeyPair> pair;
  if (DWORD rc = LoadKey(key_spec, &pair)) return rc;
  *key = pair->pkey;
  return 0;
}

DWORD ContainerState::StoreKey(DWORD key_spec, const std::shared_ptr<KeyPair>& pair) {
  MutexLock lock(mu_);
  if (!location_) return NTE_BAD_KEYSET;
  PrivateKeyCache& cache = PrivateKeyCache::Process();
  const KeyContainerFolder folder(location_->folder);
  const std::optional<SecretText> pin = pin_ ? pin_ : cache.Pin(folder.folder());
  Bytes der = PrivateKeyToPkcs8(pair->pkey.get(), pin ? pin->text() : std::string());
  const bool written = !der.empty() && folder.WriteKey(key_spec, der) &&
                       folder.WritePublicKey(key_spec, ossl::ToDer(i2d_PUBKEY, pair->pkey.get()));
  WipeText(der);
  // Whatever the outcome, the key the cache holds may no longer be the file's.
  cache.DropKey(folder.folder(), key_spec);
  if (!written) return NTE_PERM;
  pair->key_spec = key_spec;
  stored_[key_spec] = pair;
  return 0;
}

}  // namespace zuntar::csp
