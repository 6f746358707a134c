#include "platform/crypto/csp/container_state.h"

#include "platform/crypto/base/crypt_error.h"
#include "platform/crypto/cert/cert_builder.h"
#include "platform/crypto/cert/cert_context.h"
#include "platform/user_prompt.h"

namespace zuntar::csp {

void ContainerState::SetPin(const std::string& pin) {
  std::lock_guard lock(mu_);
  pin_ = pin;
}

DWORD ContainerState::LoadKey(DWORD key_spec, std::shared_ptr<KeyPair>* pair) {
  std::lock_guard lock(mu_);
  if (const auto it = keys_.find(key_spec); it != keys_.end()) {
    *pair = it->second;
    return 0;
  }
  if (!location_) return NTE_NO_KEY;
  Bytes der;
  if (!KeyContainerFolder(location_->folder).ReadKey(key_spec, &der)) return NTE_NO_KEY;
  bool encrypted = false;
  ossl::PKeyPtr pkey = PrivateKeyFromPkcs8(der, pin_.value_or(std::string()), &encrypted);
  if (pkey == nullptr && encrypted && pin_) return SCARD_W_WRONG_CHV;
  for (bool retry = false; pkey == nullptr && encrypted; retry = true) {
    if (flags_ & CRYPT_SILENT) return NTE_SILENT_CONTEXT;
    const std::optional<std::string> pin = host_->prompt().AskPin(location_->name, retry);
    if (!pin) return SCARD_W_CANCELLED_BY_USER;
    pkey = PrivateKeyFromPkcs8(der, *pin, &encrypted);
    if (pkey != nullptr) pin_ = *pin;
  }
  if (pkey == nullptr || ParamsOfKey(pkey.get()) == nullptr) return NTE_BAD_KEYSET;
  auto loaded = std::make_shared<KeyPair>();
  loaded->params = ParamsOfKey(pkey.get());
  loaded->pkey = ossl::Share(std::move(pkey));
  loaded->key_spec = key_spec;
  keys_[key_spec] = loaded;
  *pair = loaded;
  return 0;
}

bool ContainerState::HasKey(DWORD key_spec) {
  std::lock_guard lock(mu_);
  return keys_.count(key_spec) > 0 || (location_ && KeyContainerFolder(location_->folder).HasKey(key_spec));
}

DWORD ContainerState::PublicKey(DWORD key_spec, ossl::PKeyShared* key) {
  {
    std::lock_guard lock(mu_);
    if (const auto it = keys_.find(key_spec); it != keys_.end()) {
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
  std::lock_guard lock(mu_);
  if (!location_) return NTE_BAD_KEYSET;
  const Bytes der = PrivateKeyToPkcs8(pair->pkey.get(), pin_.value_or(std::string()));
  const KeyContainerFolder folder(location_->folder);
  if (der.empty() || !folder.WriteKey(key_spec, der) || !folder.WritePublicKey(key_spec, ossl::ToDer(i2d_PUBKEY, pair->pkey.get())))
    return NTE_PERM;
  pair->key_spec = key_spec;
  keys_[key_spec] = pair;
  return 0;
}

}  // namespace zuntar::csp
