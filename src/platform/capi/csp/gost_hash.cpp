#include "platform/capi/csp/gost_hash.h"

#include "platform/capi/base/error_codes.h"
#include "platform/capi/csp/gost_key.h"
#include "platform/capi/csp/param_value.h"

namespace zuntar::csp {

const EVP_MD* HashDigest(ALG_ID alg) {
  switch (alg) {
    case CALG_GR3411_2012_256: return ossl::DigestByName("md_gost12_256");
    case CALG_GR3411_2012_512: return ossl::DigestByName("md_gost12_512");
    case CALG_GR3411: return ossl::DigestByName("md_gost94");
    default: return nullptr;
  }
}

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
  // A value of another length is no value of this hash; signed, it would
  // reach the engine's assertion on the digest size and end the process.
  if (value.size() != static_cast<size_t>(EVP_MD_get_size(md_))) return NTE_BAD_HASH;
  value_ = value;
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

bool GostHash::FitsKey(EVP_PKEY* key) const {
  const GostKeyParams* params = ParamsOfKey(key);
  return params != nullptr && params->hash_alg == alg_;
}

DWORD GostHash::Sign(DWORD key_spec, Bytes* signature) {
  // A GOST key signs only the hash of its own kind. The public key tells
  // before the private key is opened, so a wrong hash costs no PIN question.
  ossl::PKeyShared public_key;
  if (container_->PublicKey(key_spec, &public_key) == 0 && !FitsKey(public_key.get())) return NTE_BAD_ALGID;
  std::shared_ptr<KeyPair> pair;
  if (DWORD rc = container_->LoadKey(key_spec, &pair)) return rc;
  if (!FitsKey(pair->pkey.get())) return NTE_BAD_ALGID;
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

}  // namespace zuntar::csp
