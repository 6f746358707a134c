#include <algorithm>
#include <cstring>

#include <openssl/rand.h>

#include "platform/crypto/base/crypt_error.h"
#include "platform/crypto/base/wide_text.h"
#include "platform/crypto/cert/cert_builder.h"
#include "platform/crypto/cert/cert_context.h"
#include "platform/crypto/csp/gost_csp.h"
#include "platform/user_prompt.h"

namespace zuntar::csp {
namespace {

Bytes DwordBytes(DWORD v) {
  Bytes out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return out;
}

std::string Text(const Bytes& value) { return value.substr(0, value.find('\0')); }

const EVP_MD* DigestFor(ALG_ID alg) {
  switch (alg) {
    case CALG_GR3411_2012_256: return ossl::DigestByName("md_gost12_256");
    case CALG_GR3411_2012_512: return ossl::DigestByName("md_gost12_512");
    case CALG_GR3411: return ossl::DigestByName("md_gost94");
    default: return nullptr;
  }
}

// Everything enumeration reports for one container.
Bytes EnumerationItem(const ContainerLocation& loc, DWORD flags) {
  const std::string name = AnsiTextFromUtf8((flags & CRYPT_FQCN) ? loc.fqcn : loc.name);
  if (flags & CRYPT_UNIQUE) return name + '\0' + AnsiTextFromUtf8(loc.unique) + '\0';
  return name + '\0';
}

class GostContext : public Context {
 public:
  explicit GostContext(std::shared_ptr<ContainerState> state) : state_(std::move(state)) {}

  DWORD GetParam(DWORD param, DWORD flags, Bytes* value, DWORD* size) override;
  DWORD SetParam(DWORD param, const Bytes& value) override;
  DWORD GetUserKey(DWORD key_spec, std::unique_ptr<Key>* key) override;
  DWORD GenKey(ALG_ID alg, DWORD flags, std::unique_ptr<Key>* key) override;
  DWORD ImportKey(const Bytes& blob, Key* pub_key, DWORD flags, std::unique_ptr<Key>* key) override;
  DWORD ImportPublicKeyInfo(const CERT_PUBLIC_KEY_INFO& info, std::unique_ptr<Key>* key) override;
  DWORD ExportPublicKeyInfo(DWORD key_spec, CERT_PUBLIC_KEY_INFO* info) override;
  DWORD CreateHash(ALG_ID alg, std::unique_ptr<Hash>* hash) override;

 private:
  DWORD Enumerate(DWORD flags, Bytes* value, DWORD* size);
  const GostKeyParams& TypeParams() const {
    const GostKeyParams* p = KeyParamsForProvType(state_->prov_type());
    return p != nullptr ? *p : DefaultKeyParams(GostKeyKind::k2012_256);
  }

  std::shared_ptr<ContainerState> state_;
};

DWORD GostContext::Enumerate(DWORD flags, Bytes* value, DWORD* size) {
  if (flags & CRYPT_FIRST) {
    state_->enumeration.clear();
    for (const ContainerLocation& loc : EnumerateContainers()) state_->enumeration.push_back(EnumerationItem(loc, flags));
    state_->enumeration_pos = 0;
  }
  if (value == nullptr) {
    // The size query answers the longest item so one buffer serves them all.
    size_t longest = 0;
    for (const Bytes& item : state_->enumeration) longest = std::max(longest, item.size());
    *size = static_cast<DWORD>(longest);
    return state_->enumeration.empty() && (flags & CRYPT_FIRST) ? ERROR_NO_MORE_ITEMS : 0;
  }
  if (state_->enumeration_pos >= state_->enumeration.size()) return ERROR_NO_MORE_ITEMS;
  const Bytes& item = state_->enumeration[state_->enumeration_pos];
  if (item.size() > *size) {
    *size = static_cast<DWORD>(item.size());
    return ERROR_MORE_DATA;
  }
  *value = item;
  *size = static_cast<DWORD>(item.size());
  ++state_->enumeration_pos;
  return 0;
}

DWORD GostContext::GetParam(DWORD param, DWORD flags, Bytes* value, DWORD* size) {
  Bytes answer;
  switch (param) {
    case PP_ENUMCONTAINERS:
      return Enumerate(flags, value, size);
    case PP_NAME:
      answer = AnsiTextFromUtf8(state_->provider_name()) + '\0';
      break;
    case PP_CONTAINER:
      if (!state_->location()) return NTE_BAD_KEYSET;
      answer = AnsiTextFromUtf8(state_->location()->name) + '\0';
      break;
    case PP_UNIQUE_CONTAINER:
      if (!state_->location()) return NTE_BAD_KEYSET;
      answer = AnsiTextFromUtf8(state_->location()->fqcn) + '\0' + AnsiTextFromUtf8(state_->location()->unique) + '\0';
      break;
    case PP_PROVTYPE:
      answer = DwordBytes(state_->prov_type());
      break;
    case PP_VERSION:
      answer = DwordBytes(0x0500);
      break;
    case PP_IMPTYPE:
      answer = DwordBytes(2);  // software
      break;
    case PP_SIGNATUREOID:
    case PP_DHOID: {
      if (!state_->location()) return NTE_BAD_KEYSET;
      const auto params = KeyContainerFolder(state_->location()->folder).Params();
      const auto it = params.find(param);
      const std::string fallback = param == PP_SIGNATUREOID ? TypeParams().public_paramset : TypeParams().hash_paramset;
      answer = (it != params.end() ? it->second : fallback) + '\0';
      break;
    }
    case PP_SELFTEST:
      answer = SelfTestBlock();
      break;
    default:
      return NTE_BAD_TYPE;
  }
  *size = static_cast<DWORD>(answer.size());
  if (value != nullptr) *value = std::move(answer);
  return 0;
}

DWORD GostContext::SetParam(DWORD param, const Bytes& value) {
  switch (param) {
    case PP_KEYEXCHANGE_PIN:
    case PP_SIGNATURE_PIN:
      state_->SetPin(Text(value));
      return 0;
    case PP_SIGNATUREOID:
    case PP_DHOID: {
      if (!state_->location()) return NTE_BAD_KEYSET;
      const KeyContainerFolder folder(state_->location()->folder);
      auto params = folder.Params();
      params[param] = Text(value);
      return folder.WriteParams(params) ? 0 : NTE_PERM;
    }
    default:
      return NTE_BAD_TYPE;
  }
}

DWORD GostContext::GetUserKey(DWORD key_spec, std::unique_ptr<Key>* key) {
  if (key_spec != AT_KEYEXCHANGE && key_spec != AT_SIGNATURE) return NTE_BAD_KEY;
  PKeyShared public_key;
  if (!state_->HasKey(key_spec)) return NTE_NO_KEY;
  if (DWORD rc = state_->PublicKey(key_spec, &public_key)) return rc;
  *key = GostKey::UserKey(state_, key_spec, public_key);
  return 0;
}

DWORD GostContext::GenKey(ALG_ID alg, DWORD flags, std::unique_ptr<Key>* key) {
  if (alg == AT_KEYEXCHANGE || alg == AT_SIGNATURE) {
    if (!state_->location()) return NTE_BAD_KEYSET;
    const auto params = KeyContainerFolder(state_->location()->folder).Params();
    const auto it = params.find(PP_SIGNATUREOID);
    ossl::PKeyPtr pkey = GenerateKey(TypeParams(), it != params.end() ? it->second : std::string());
    if (pkey == nullptr) return NTE_FAIL;
    auto pair = std::make_shared<KeyPair>(KeyPair{ShareKey(std::move(pkey)), &TypeParams(), alg, true});
    if (DWORD rc = state_->StoreKey(alg, pair)) return rc;
    *key = GostKey::UserKey(state_, pair);
    return 0;
  }
  if (alg == CALG_G28147) {
    Bytes secret(32, '\0');
    RAND_bytes(reinterpret_cast<unsigned char*>(secret.data()), 32);
    *key = GostKey::Session(state_, std::move(secret), TypeParams().cipher_paramset);
    return 0;
  }
  const GostKeyParams* params = KeyParamsForAlgId(alg);
  if (params == nullptr || params->ephem_alg != alg) return NTE_BAD_ALGID;
  std::unique_ptr<GostKey> ephemeral = GostKey::Ephemeral(state_, *params, alg, (flags & CRYPT_PREGEN) != 0);
  if (ephemeral == nullptr) return NTE_FAIL;
  *key = std::move(ephemeral);
  return 0;
}

DWORD GostContext::ImportKey(const Bytes& blob, Key* pub_key, DWORD flags, std::unique_ptr<Key>* key) {
  if (blob.empty()) return NTE_BAD_DATA;
  auto* with = dynamic_cast<GostKey*>(pub_key);
  if (blob[0] == PUBLICKEYBLOB) {
    ALG_ID alg = 0;
    const GostKeyParams* params = nullptr;
    Bytes key_params, point;
    if (DWORD rc = ParsePublicKeyBlob(blob, &alg, &params, &key_params, &point)) return rc;
    ossl::PKeyPtr pub = PublicKeyFromPoint(params->key_oid, key_params, point);
    if (pub == nullptr) return NTE_BAD_PUBLIC_KEY;
    if (with == nullptr) {
      *key = GostKey::Public(state_, ShareKey(std::move(pub)), alg);
      return 0;
    }
    // Against a private key the result is the agreed key of the two.
    if (with->kind() != KeyKind::kUserPair && with->kind() != KeyKind::kEphemeral) return NTE_BAD_KEY;
    std::shared_ptr<KeyPair> own;
    if (DWORD rc = with->Private(&own)) return rc;
    if (ParamsOfKey(pub.get())->kind != own->params->kind) return NTE_BAD_PUBLIC_KEY;
    *key = GostKey::Agreement(*with, own, ShareKey(std::move(pub)));
    return 0;
  }
  if (blob[0] == SIMPLEBLOB || blob[0] == PRIVATEKEYBLOB) {
    if (with == nullptr) return NTE_BAD_KEY;
    return with->ImportWrapped(blob, flags, key);
  }
  return NTE_BAD_TYPE;
}

DWORD GostContext::ImportPublicKeyInfo(const CERT_PUBLIC_KEY_INFO& info, std::unique_ptr<Key>* key) {
  ossl::PKeyPtr pub = PublicKeyFromInfo(info);
  if (pub == nullptr) return NTE_BAD_PUBLIC_KEY;
  const GostKeyParams* params = ParamsOfKey(pub.get());
  *key = GostKey::Public(state_, ShareKey(std::move(pub)), params->dh_alg);
  return 0;
}

DWORD GostContext::ExportPublicKeyInfo(DWORD key_spec, CERT_PUBLIC_KEY_INFO* info) {
  PKeyShared public_key;
  if (!state_->HasKey(key_spec)) return NTE_NO_KEY;
  if (DWORD rc = state_->PublicKey(key_spec, &public_key)) return rc;
  return PublicKeyInfoOf(public_key.get(), info) ? 0 : NTE_BAD_KEY;
}

DWORD GostContext::CreateHash(ALG_ID alg, std::unique_ptr<Hash>* hash) {
  const EVP_MD* md = DigestFor(alg);
  if (md == nullptr) return NTE_BAD_ALGID;
  *hash = std::make_unique<GostHash>(state_, alg, md);
  return 0;
}

class GostModuleImpl : public Module {
 public:
  explicit GostModuleImpl(const Host* host) : host_(*host) {}

  DWORD Acquire(const std::string& container, const std::string& provider_name, DWORD prov_type, DWORD flags,
                std::unique_ptr<Context>* context) override {
    if (KeyParamsForProvType(prov_type) == nullptr) return NTE_BAD_PROV_TYPE;
    ossl::EnsureGostEngine();
    auto state = std::make_shared<ContainerState>(&host_, prov_type,
                                                  provider_name.empty() ? DefaultProviderName(prov_type) : provider_name,
                                                  flags);
    if ((flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT) {
      *context = std::make_unique<GostContext>(state);
      return 0;
    }
    if (container.empty()) return NTE_BAD_KEYSET;
    if (flags & CRYPT_DELETEKEYSET) {
      const auto found = FindContainer(container);
      if (!found) return NTE_BAD_KEYSET;
      return DeleteContainer(*found) ? 0 : NTE_PERM;
    }
    if (flags & CRYPT_NEWKEYSET) {
      if (FindContainer(container)) return NTE_EXISTS;
      const auto made = CreateContainer(container);
      if (!made) return NTE_BAD_KEYSET;
      state->set_location(*made);
      *context = std::make_unique<GostContext>(state);
      return 0;
    }
    for (;;) {
      if (const auto found = FindContainer(container)) {
        state->set_location(*found);
        *context = std::make_unique<GostContext>(state);
        return 0;
      }
      // Media may be elsewhere: ask, as the provider's own dialog would.
      if (!NamesRemovableOrAnyReader(container)) return NTE_BAD_KEYSET;
      if (flags & CRYPT_SILENT) return NTE_BAD_KEYSET;
      if (!host_.prompt().InsertMedia(container)) return SCARD_W_CANCELLED_BY_USER;
    }
  }

 private:
  Host host_;
};

}  // namespace

// ---- ContainerState -------------------------------------------------------------

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
  loaded->pkey = ShareKey(std::move(pkey));
  loaded->key_spec = key_spec;
  keys_[key_spec] = loaded;
  *pair = loaded;
  return 0;
}

bool ContainerState::HasKey(DWORD key_spec) {
  std::lock_guard lock(mu_);
  return keys_.count(key_spec) > 0 || (location_ && KeyContainerFolder(location_->folder).HasKey(key_spec));
}

DWORD ContainerState::PublicKey(DWORD key_spec, PKeyShared* key) {
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
          *key = ShareKey(std::move(pub));
          return 0;
        }
      }
      PCCERT_CONTEXT cert = folder.ReadCertificate(key_spec, &der) ? CertContext::Decode(der) : nullptr;
      ossl::PKeyPtr pub = cert != nullptr ? PublicKeyFromInfo(cert->Info().SubjectPublicKeyInfo) : nullptr;
      if (pub != nullptr) {
        *key = ShareKey(std::move(pub));
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

// ---- GostHash -------------------------------------------------------------------

GostHash::GostHash(std::shared_ptr<ContainerState> container, ALG_ID alg, const EVP_MD* md)
    : container_(std::move(container)), alg_(alg), md_(md), ctx_(EVP_MD_CTX_new()) {
  EVP_DigestInit_ex(ctx_.get(), md_, nullptr);
}

DWORD GostHash::HashData(const BYTE* data, size_t size) {
  if (value_) return NTE_BAD_HASH_STATE;
  if (size > 0 && EVP_DigestUpdate(ctx_.get(), data, size) != 1) return NTE_FAIL;
  return 0;
}

DWORD GostHash::Finish() {
  if (value_) return 0;
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx_.get(), out, &len) != 1) return NTE_FAIL;
  value_ = Bytes(reinterpret_cast<char*>(out), len);
  return 0;
}

DWORD GostHash::SetParam(DWORD param, const Bytes& value) {
  if (param != HP_HASHVAL) return NTE_BAD_TYPE;
  value_ = value;  // any length: the signature decides whether it fits
  return 0;
}

DWORD GostHash::GetParam(DWORD param, Bytes* value) {
  switch (param) {
    case HP_ALGID:
      *value = DwordBytes(alg_);
      return 0;
    case HP_HASHSIZE:
      *value = DwordBytes(static_cast<DWORD>(EVP_MD_get_size(md_)));
      return 0;
    case HP_HASHVAL:
      if (DWORD rc = Finish()) return rc;
      *value = *value_;
      return 0;
    default:
      return NTE_BAD_TYPE;
  }
}

DWORD GostHash::Sign(DWORD key_spec, Bytes* signature) {
  std::shared_ptr<KeyPair> pair;
  if (DWORD rc = container_->LoadKey(key_spec, &pair)) return rc;
  if (DWORD rc = Finish()) return rc;
  return SignDigest(pair->pkey.get(), *value_, signature) ? 0 : NTE_BAD_HASH;
}

DWORD GostHash::Verify(const Bytes& signature, Key* public_key) {
  auto* key = dynamic_cast<GostKey*>(public_key);
  if (key == nullptr) return NTE_BAD_KEY;
  EVP_PKEY* pkey = key->peer() ? key->peer().get() : key->pair() ? key->pair()->pkey.get() : nullptr;
  if (pkey == nullptr) return NTE_BAD_KEY;
  if (DWORD rc = Finish()) return rc;
  return VerifyDigest(pkey, *value_, signature) ? 0 : NTE_BAD_SIGNATURE;
}

// ---- Module -------------------------------------------------------------------------

Bytes SelfTestBlock() {
  // A known answer of the hash and a signature round trip.
  static const unsigned char kAbcDigest[32] = {
      0x4e, 0x29, 0x19, 0xcf, 0x13, 0x7e, 0xd4, 0x1e, 0xc4, 0xfb, 0x62, 0x70, 0xc6, 0x18, 0x26, 0xcc,
      0x4f, 0xff, 0xb6, 0x60, 0x34, 0x1e, 0x0a, 0xf3, 0x68, 0x8c, 0xd0, 0x62, 0x6d, 0x23, 0xb4, 0x81};
  bool ok = false;
  if (const EVP_MD* md = DigestFor(CALG_GR3411_2012_256)) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    ok = EVP_Digest("abc", 3, out, &len, md, nullptr) == 1 && len == 32 && std::memcmp(out, kAbcDigest, 32) == 0;
    ossl::PKeyPtr key = ok ? GenerateGostKey(GostKeyKind::k2012_256) : nullptr;
    const Bytes digest(reinterpret_cast<const char*>(kAbcDigest), 32);
    Bytes signature;
    ok = key != nullptr && SignDigest(key.get(), digest, &signature) && VerifyDigest(key.get(), digest, signature);
  }
  Bytes block(kSelfTestBlockSize, '\0');
  block[0] = static_cast<char>(kSelfTestBlockSize);
  block[kSelfTestFailureOffset] = ok ? 0 : 1;
  return block;
}

const char* DefaultProviderName(DWORD prov_type) {
  switch (prov_type) {
    case PROV_GOST_2012_256: return "Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider";
    case PROV_GOST_2012_512: return "Crypto-Pro GOST R 34.10-2012 Strong Cryptographic Service Provider";
    default: return "Crypto-Pro GOST R 34.10-2001 Cryptographic Service Provider";
  }
}

Module* GostModule(const Host* host) {
  static GostModuleImpl module(host);
  return &module;
}

}  // namespace zuntar::csp
