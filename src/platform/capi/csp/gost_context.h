// An acquired context of the GOST provider: provider parameters, the
// container's keys, imported keys and new hashes.
#pragma once

#include <memory>

#include "platform/capi/csp/container_state.h"
#include "platform/capi/csp/csp_module.h"
#include "platform/capi/gost/gost_params.h"

namespace zuntar::csp {

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

}  // namespace zuntar::csp
