// The container side of an acquired context: where its keys live, the PIN
// its caller gave and the keys it wrote itself. The keys it reads come
// through the process's cache of unlocked keys (private_key_cache.h).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/capi/base/ossl.h"
#include "platform/capi/base/secret_text.h"
#include "platform/capi/csp/csp_module.h"
#include "platform/capi/csp/key_container.h"
#include "platform/capi/csp/key_pair.h"
#include "platform/capi/gost/gost_key_material.h"
#include "platform/thread_annotations.h"

namespace zuntar::csp {

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

  // The key of a key spec: one the context wrote, else the cached one, else
  // read from the container (asking for its PIN when needed) into the cache.
  DWORD LoadKey(DWORD key_spec, std::shared_ptr<KeyPair>* pair);
  // The public key of a key spec without touching the private key (no PIN):
  // kept beside the key, else the stored certificate's, else the key's own.
  DWORD PublicKey(DWORD key_spec, ossl::PKeyShared* key);
  bool HasKey(DWORD key_spec);
  // Stores a key in the container under the context's PIN (the one its
  // caller gave, else the one that opened the container's keys); the key
  // stays with the context.
  DWORD StoreKey(DWORD key_spec, const std::shared_ptr<KeyPair>& pair);
  void SetPin(const std::string& pin);

  // Container enumeration state (PP_ENUMCONTAINERS).
  std::vector<Bytes> enumeration;
  size_t enumeration_pos = 0;

 private:
  // The key read through the cache.
  DWORD OpenKey(DWORD key_spec, std::shared_ptr<KeyPair>* pair) REQUIRES(mu_);

  const Host* host_;
  DWORD prov_type_;
  std::string provider_name_;
  DWORD flags_;
  // Set when the context is acquired, before anything shares the state.
  std::optional<ContainerLocation> location_;
  Mutex mu_;
  std::map<DWORD, std::shared_ptr<KeyPair>> stored_ GUARDED_BY(mu_);
  std::optional<SecretText> pin_ GUARDED_BY(mu_);
};

}  // namespace zuntar::csp
