// The container side of an acquired context: where its keys live, the keys
// read so far and the PIN that opened them.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/crypto/base/ossl.h"
#include "platform/crypto/csp/csp_module.h"
#include "platform/crypto/csp/key_container.h"
#include "platform/crypto/gost/gost_key_material.h"

namespace zuntar::csp {

// A private key with what the provider knows about it.
struct KeyPair {
  ossl::PKeyShared pkey;
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
  DWORD PublicKey(DWORD key_spec, ossl::PKeyShared* key);
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

}  // namespace zuntar::csp
