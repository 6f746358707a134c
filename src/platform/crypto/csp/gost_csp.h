// The GOST provider behind the module interface (csp_module.h): acquired
// contexts over key containers, keys and hashes, all on OpenSSL with the
// GOST engine.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/crypto/csp/csp_module.h"
#include "platform/crypto/csp/key_container.h"
#include "platform/crypto/gost/gost_key_material.h"

namespace zuntar::csp {

// A private key with what the provider knows about it.
struct KeyPair {
  PKeyShared pkey;
  const GostKeyParams* params = nullptr;
  DWORD key_spec = 0;
  bool exportable = true;
};

// The container side of an acquired context, shared with its keys and
// hashes (they may outlive the context handle).
class ContainerState {
 public:
  ContainerState(const Host* host, DWORD prov_type, std::string provider_name, DWORD flags)
      : host_(host), prov_type_(prov_type), provider_name_(std::move(provider_name)), flags_(flags) {}

  const Host* host() const { return host_; }
  DWORD prov_type() const { return prov_type_; }
  const std::string& provider_name() const { return provider_name_; }
  const std::optional<ContainerLocation>& location() const { return location_; }
  void set_location(ContainerLocation location) { location_ = std::move(location); }

  // The key of a key spec, read from the container (asking for its PIN when
  // needed) and kept for the life of the context.
  DWORD LoadKey(DWORD key_spec, std::shared_ptr<KeyPair>* pair);
  // The public key of a key spec without touching the private key (no PIN):
  // kept beside the key, else the stored certificate's, else the key's own.
  DWORD PublicKey(DWORD key_spec, PKeyShared* key);
  bool HasKey(DWORD key_spec);
  // Stores a key in the container under the context's PIN.
  DWORD StoreKey(DWORD key_spec, const std::shared_ptr<KeyPair>& pair);
  void SetPin(const std::string& pin);

  // Container enumeration state (PP_ENUMCONTAINERS).
  std::vector<Bytes> enumeration;
  size_t enumeration_pos = 0;

 private:
  const Host* host_;
  DWORD prov_type_;
  std::string provider_name_;
  DWORD flags_;
  std::optional<ContainerLocation> location_;
  std::mutex mu_;
  std::map<DWORD, std::shared_ptr<KeyPair>> keys_;
  std::optional<std::string> pin_;
};

enum class KeyKind { kUserPair, kEphemeral, kPublic, kAgreement, kSession };

class GostKey : public Key {
 public:
  GostKey(KeyKind kind, std::shared_ptr<ContainerState> container) : kind_(kind), container_(std::move(container)) {}

  // A key of the container; its private half is read on first use.
  static std::unique_ptr<GostKey> UserKey(std::shared_ptr<ContainerState> c, DWORD key_spec, PKeyShared public_key);
  static std::unique_ptr<GostKey> UserKey(std::shared_ptr<ContainerState> c, std::shared_ptr<KeyPair> pair);
  static std::unique_ptr<GostKey> Ephemeral(std::shared_ptr<ContainerState> c, const GostKeyParams& params,
                                            ALG_ID alg, bool pregenerate);
  static std::unique_ptr<GostKey> Public(std::shared_ptr<ContainerState> c, PKeyShared key, ALG_ID alg);
  static std::unique_ptr<GostKey> Agreement(const GostKey& own, std::shared_ptr<KeyPair> own_pair, PKeyShared peer);
  static std::unique_ptr<GostKey> Session(std::shared_ptr<ContainerState> c, Bytes secret, std::string paramset);

  KeyKind kind() const { return kind_; }
  const std::shared_ptr<KeyPair>& pair() const { return pair_; }
  // The private half, read from the container when not yet loaded.
  DWORD Private(std::shared_ptr<KeyPair>* pair);
  const PKeyShared& peer() const { return peer_; }

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
  PKeyShared peer_;                // public key, user key's public half, agreement (peer side)
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

// Parses a public-key blob: its algorithm, parameters and point.
DWORD ParsePublicKeyBlob(const Bytes& blob, ALG_ID* alg, const GostKeyParams** params, Bytes* key_params,
                         Bytes* point);

class GostHash : public Hash {
 public:
  GostHash(std::shared_ptr<ContainerState> container, ALG_ID alg, const EVP_MD* md);
  DWORD HashData(const BYTE* data, size_t size) override;
  DWORD SetParam(DWORD param, const Bytes& value) override;
  DWORD GetParam(DWORD param, Bytes* value) override;
  DWORD Sign(DWORD key_spec, Bytes* signature) override;
  DWORD Verify(const Bytes& signature, Key* public_key) override;

 private:
  DWORD Finish();

  std::shared_ptr<ContainerState> container_;
  ALG_ID alg_;
  const EVP_MD* md_;
  ossl::MdCtxPtr ctx_;
  std::optional<Bytes> value_;
};

// The self-test block (PP_SELFTEST): kSelfTestBlockSize bytes, the word at
// kSelfTestFailureOffset non-zero when a test failed.
Bytes SelfTestBlock();

const char* DefaultProviderName(DWORD prov_type);

}  // namespace zuntar::csp
