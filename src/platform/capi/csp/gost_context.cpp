#include "platform/capi/csp/gost_context.h"

#include <openssl/rand.h>

#include <algorithm>

#include "platform/capi/base/error_codes.h"
#include "platform/capi/base/wide_text.h"
#include "platform/capi/csp/gost_hash.h"
#include "platform/capi/csp/gost_key.h"
#include "platform/capi/csp/key_blob.h"
#include "platform/capi/csp/param_value.h"
#include "platform/capi/csp/private_key_cache.h"
#include "platform/capi/csp/self_test.h"

namespace zuntar::csp {
namespace {

// Everything enumeration reports for one container.
Bytes EnumerationItem(const ContainerLocation& loc, DWORD flags) {
  const std::string name = AnsiTextFromUtf8((flags & CRYPT_FQCN) ? loc.fqcn : loc.name);
  if (flags & CRYPT_UNIQUE) return name + '\0' + AnsiTextFromUtf8(loc.unique) + '\0';
  return name + '\0';
}

}  // namespace

DWORD GostContext::Enumerate(DWORD flags, Bytes* value, DWORD* size) {
  if (flags & CRYPT_FIRST) {
    state_->enumeration.clear();
    std::vector<std::string> reachable;
    for (const ContainerLocation& loc : EnumerateContainers()) {
      state_->enumeration.push_back(EnumerationItem(loc, flags));
      reachable.push_back(loc.folder);
    }
    state_->enumeration_pos = 0;
    // What enumeration no longer sees was unplugged: its keys go.
    PrivateKeyCache::Process().DropAllBut(reachable);
  }
  // The size query, and a buffer too short for the item, answer the longest
  // item so one buffer serves them all. A caller that passes back the length
  // of the item it read last therefore fails on the first longer name.
  size_t longest = 0;
  for (const Bytes& item : state_->enumeration) longest = std::max(longest, item.size());
  if (value == nullptr) {
    *size = static_cast<DWORD>(longest);
    return state_->enumeration.empty() && (flags & CRYPT_FIRST) ? ERROR_NO_MORE_ITEMS : 0;
  }
  if (state_->enumeration_pos >= state_->enumeration.size()) return ERROR_NO_MORE_ITEMS;
  const Bytes& item = state_->enumeration[state_->enumeration_pos];
  if (item.size() > *size) {
    *size = static_cast<DWORD>(longest);
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
      state_->SetPin(ParamText(value));
      return 0;
    case PP_SIGNATUREOID:
    case PP_DHOID: {
      if (!state_->location()) return NTE_BAD_KEYSET;
      const KeyContainerFolder folder(state_->location()->folder);
      auto params = folder.Params();
      params[param] = ParamText(value);
      return folder.WriteParams(params) ? 0 : NTE_PERM;
    }
    default:
      return NTE_BAD_TYPE;
  }
}

DWORD GostContext::GetUserKey(DWORD key_spec, std::unique_ptr<Key>* key) {
  if (key_spec != AT_KEYEXCHANGE && key_spec != AT_SIGNATURE) return NTE_BAD_KEY;
  ossl::PKeyShared public_key;
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
    auto pair = std::make_shared<KeyPair>(KeyPair{ossl::Share(std::move(pkey)), &TypeParams(), alg, true});
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
      *key = GostKey::Public(state_, ossl::Share(std::move(pub)), alg);
      return 0;
    }
    // Against a private key the result is the agreed key of the two.
    if (with->kind() != KeyKind::kUserPair && with->kind() != KeyKind::kEphemeral) return NTE_BAD_KEY;
    std::shared_ptr<KeyPair> own;
    if (DWORD rc = with->Private(&own)) return rc;
    if (ParamsOfKey(pub.get())->kind != own->params->kind) return NTE_BAD_PUBLIC_KEY;
    *key = GostKey::Agreement(*with, own, ossl::Share(std::move(pub)));
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
  *key = GostKey::Public(state_, ossl::Share(std::move(pub)), params->dh_alg);
  return 0;
}

DWORD GostContext::ExportPublicKeyInfo(DWORD key_spec, CERT_PUBLIC_KEY_INFO* info) {
  ossl::PKeyShared public_key;
  if (!state_->HasKey(key_spec)) return NTE_NO_KEY;
  if (DWORD rc = state_->PublicKey(key_spec, &public_key)) return rc;
  return PublicKeyInfoOf(public_key.get(), info) ? 0 : NTE_BAD_KEY;
}

DWORD GostContext::CreateHash(ALG_ID alg, std::unique_ptr<Hash>* hash) {
  const EVP_MD* md = HashDigest(alg);
  if (md == nullptr) return NTE_BAD_ALGID;
  *hash = std::make_unique<GostHash>(state_, alg, md);
  return 0;
}

}  // namespace zuntar::csp
