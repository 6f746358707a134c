// A key of the GOST provider: a container's key pair, an ephemeral pair, a
// public key, the agreed key of two (VKO) that wraps others, or a GOST
// 28147-89 session key.
#pragma once

#include <memory>
#include <string>

#include "platform/capi/base/ossl.h"
#include "platform/capi/csp/container_state.h"
#include "platform/capi/csp/csp_module.h"
#include "platform/capi/gost/gost_params.h"

namespace zuntar::csp {

enum class KeyKind { kUserPair, kEphemeral, kPublic, kAgreement, kSession };

class GostKey : public Key {
 public:
  GostKey(KeyKind kind, std::shared_ptr<ContainerState> container) : kind_(kind), container_(std::move(container)) {}

  // A key of the container; its private half is read on first use.
  static std::unique_ptr<GostKey> UserKey(std::shared_ptr<ContainerState> c, DWORD key_spec, ossl::PKeyShared public_key);
  static std::unique_ptr<GostKey> UserKey(std::shared_ptr<ContainerState> c, std::shared_ptr<KeyPair> pair);
  static std::unique_ptr<GostKey> Ephemeral(std::shared_ptr<ContainerState> c, const GostKeyParams& params,
                                            ALG_ID alg, bool pregenerate);
  static std::unique_ptr<GostKey> Public(std::shared_ptr<ContainerState> c, ossl::PKeyShared key, ALG_ID alg);
  static std::unique_ptr<GostKey> Agreement(const GostKey& own, std::shared_ptr<KeyPair> own_pair, ossl::PKeyShared peer);
  static std::unique_ptr<GostKey> Session(std::shared_ptr<ContainerState> c, Bytes secret, std::string paramset);

  KeyKind kind() const { return kind_; }
  const std::shared_ptr<KeyPair>& pair() const { return pair_; }
  // The private half, read from the container when not yet loaded.
  DWORD Private(std::shared_ptr<KeyPair>* pair);
  const ossl::PKeyShared& peer() const { return peer_; }

  DWORD GetParam(DWORD param, Bytes* value) override;
  DWORD SetParam(DWORD param, const Bytes& value) override;
  DWORD Export(Key* exp_key, DWORD blob_type, DWORD flags, Bytes* blob) override;
  DWORD Encrypt(bool final, Bytes* data) override;
  DWORD Decrypt(bool final, Bytes* data) override;

  // Imports a simple blob or a private-key blob against this agreement key.
  DWORD ImportWrapped(const Bytes& blob, DWORD flags, std::unique_ptr<Key>* key);

 private:
  DWORD Agreed(const Bytes& ukm, Bytes* kek) const;
  DWORD ExportPublicBlob(Bytes* blob) const;
  DWORD ExportSimpleBlob(const GostKey& agreement, Bytes* blob) const;
  DWORD ExportPrivateBlob(const GostKey& agreement, Bytes* blob) const;
  DWORD StartCipher(bool encrypt);
  DWORD Crypt(bool encrypt, bool final, Bytes* data);

  KeyKind kind_;
  std::shared_ptr<ContainerState> container_;
  std::shared_ptr<KeyPair> pair_;  // ephemeral, agreement (own side), user once loaded
  ossl::PKeyShared peer_;                // public key, user key's public half, agreement (peer side)
  const GostKeyParams* params_ = nullptr;
  ALG_ID alg_ = 0;
  DWORD key_spec_ = 0;  // of a container key
  // Ephemeral keys made with CRYPT_PREGEN wait for KP_X.
  bool pending_ = false;
  std::string paramset_oid_;
  std::string hash_oid_;
  // Agreement keys.
  ALG_ID export_alg_ = CALG_PRO_EXPORT;
  // Session keys (the vector also serves agreement keys as UKM).
  Bytes secret_;
  std::string cipher_paramset_;
  Bytes iv_;
  DWORD mode_ = CRYPT_MODE_CFB;
  DWORD padding_ = ZERO_PADDING;
  ossl::CipherCtxPtr cipher_;
  bool cipher_encrypt_ = false;
};

}  // namespace zuntar::csp
