#include "platform/capi/gost/gost_key_material.h"

#include <algorithm>

#include "platform/capi/asn1/ber_reader.h"
#include "platform/capi/asn1/der_writer.h"

namespace zuntar {

bool PublicKeyInfoOf(EVP_PKEY* key, CERT_PUBLIC_KEY_INFO* info) {
  const Bytes der = ossl::ToDer(i2d_PUBKEY, key);
  const unsigned char* p = ossl::Data(der);
  ossl::X509PubKeyPtr pub(d2i_X509_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
  ASN1_OBJECT* obj = nullptr;
  const unsigned char* bits = nullptr;
  int bits_len = 0;
  X509_ALGOR* alg = nullptr;
  if (pub == nullptr || X509_PUBKEY_get0_param(&obj, &bits, &bits_len, &alg, pub.get()) != 1) {
    ossl::ClearErrors();
    return false;
  }
  info->Algorithm.pszObjId = ossl::OidText(obj);
  info->Algorithm.Parameters = alg->parameter != nullptr ? ossl::ToDer(i2d_ASN1_TYPE, alg->parameter) : Bytes();
  info->PublicKey.pbData.assign(reinterpret_cast<const char*>(bits), static_cast<size_t>(bits_len));
  info->PublicKey.cUnusedBits = 0;
  return true;
}

Bytes PublicKeyPoint(const CERT_PUBLIC_KEY_INFO& info) {
  // The bit string holds exactly one OCTET STRING.
  ber::Reader reader(info.PublicKey.pbData);
  ber::Element point;
  if (!reader.Expect(ber::kOctetString, &point) || !reader.empty()) return {};
  return Bytes(point.content);
}

ossl::PKeyPtr PublicKeyFromPoint(const std::string& key_oid, const Bytes& params, const Bytes& point) {
  const Bytes oid = ber::Oid(key_oid);
  if (oid.empty() || point.empty()) return nullptr;
  const Bytes algorithm = ber::Wrap(ber::kSequence, oid + params);
  Bytes bits(1, '\0');  // no unused bits
  bits += ber::Wrap(ber::kOctetString, point);
  const Bytes spki = ber::Wrap(ber::kSequence, algorithm + ber::Wrap(ber::kBitString, bits));
  ossl::EnsureGostEngine();
  const unsigned char* p = ossl::Data(spki);
  ossl::PKeyPtr key(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())));
  if (key == nullptr || p != ossl::Data(spki) + spki.size() || ParamsOfKey(key.get()) == nullptr) {
    ossl::ClearErrors();
    return nullptr;
  }
  return key;
}

ossl::PKeyPtr PublicKeyFromInfo(const CERT_PUBLIC_KEY_INFO& info) {
  return PublicKeyFromPoint(info.Algorithm.pszObjId, info.Algorithm.Parameters, PublicKeyPoint(info));
}

const GostKeyParams* ParamsOfKey(EVP_PKEY* key) {
  return key != nullptr ? KeyParamsForNid(EVP_PKEY_get_base_id(key)) : nullptr;
}

bool AgreeKey(EVP_PKEY* own, EVP_PKEY* peer, const Bytes& ukm, Bytes* kek) {
  if (own == nullptr || peer == nullptr || ukm.size() != 8) return false;
  ossl::PKeyCtxPtr ctx(EVP_PKEY_CTX_new(own, nullptr));
  Bytes ukm_copy = ukm;
  size_t len = 0;
  bool ok = ctx != nullptr && EVP_PKEY_derive_init(ctx.get()) == 1 &&
            EVP_PKEY_derive_set_peer(ctx.get(), peer) == 1 &&
            EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_SET_IV, 8, ukm_copy.data()) > 0 &&
            EVP_PKEY_derive(ctx.get(), nullptr, &len) == 1 && len >= 32;
  if (ok) {
    kek->assign(len, '\0');
    ok = EVP_PKEY_derive(ctx.get(), reinterpret_cast<unsigned char*>(kek->data()), &len) == 1;
    kek->resize(32);
  }
  ossl::ClearErrors();
  return ok;
}

namespace {

// The engine asserts (and so aborts) on any other digest size.
bool EngineDigestSize(const Bytes& digest) { return digest.size() == 32 || digest.size() == 64; }

}  // namespace

bool SignDigest(EVP_PKEY* key, const Bytes& digest, Bytes* signature) {
  if (!EngineDigestSize(digest)) return false;
  ossl::PKeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  size_t len = 0;
  bool ok = ctx != nullptr && EVP_PKEY_sign_init(ctx.get()) == 1 &&
            EVP_PKEY_sign(ctx.get(), nullptr, &len, ossl::Data(digest), digest.size()) == 1;
  if (ok) {
    signature->assign(len, '\0');
    ok = EVP_PKEY_sign(ctx.get(), reinterpret_cast<unsigned char*>(signature->data()), &len, ossl::Data(digest),
                       digest.size()) == 1;
    signature->resize(len);
    std::reverse(signature->begin(), signature->end());
  }
  ossl::ClearErrors();
  return ok;
}

bool VerifyDigest(EVP_PKEY* key, const Bytes& digest, const Bytes& signature) {
  if (!EngineDigestSize(digest)) return false;
  Bytes standard(signature.rbegin(), signature.rend());
  ossl::PKeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  const bool ok = ctx != nullptr && EVP_PKEY_verify_init(ctx.get()) == 1 &&
                  EVP_PKEY_verify(ctx.get(), ossl::Data(standard), standard.size(), ossl::Data(digest),
                                  digest.size()) == 1;
  ossl::ClearErrors();
  return ok;
}

ossl::PKeyPtr GenerateKey(const GostKeyParams& params, const std::string& paramset) {
  ossl::EnsureGostEngine();
  ossl::PKeyCtxPtr ctx(EVP_PKEY_CTX_new_id(params.key_nid, nullptr));
  EVP_PKEY* key = nullptr;
  const std::string set = paramset.empty() ? params.paramset_name : paramset;
  if (ctx == nullptr || EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", set.c_str()) <= 0 || EVP_PKEY_keygen(ctx.get(), &key) <= 0) {
    ossl::ClearErrors();
    return nullptr;
  }
  return ossl::PKeyPtr(key);
}

}  // namespace zuntar
