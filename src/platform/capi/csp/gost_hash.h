// A hash object of the GOST provider: GOST R 34.11-2012 (256 and 512) and
// GOST R 34.11-94, signed and checked with the keys of its context.
#pragma once

#include <memory>
#include <optional>

#include "platform/capi/base/ossl.h"
#include "platform/capi/csp/container_state.h"
#include "platform/capi/csp/csp_module.h"

namespace zuntar::csp {

// The digest of a hash algorithm; null for one the provider does not know.
const EVP_MD* HashDigest(ALG_ID alg);

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
  // Whether `key` signs with this hash's algorithm.
  bool FitsKey(EVP_PKEY* key) const;

  std::shared_ptr<ContainerState> container_;
  ALG_ID alg_;
  const EVP_MD* md_;
  ossl::MdCtxPtr ctx_;
  std::optional<Bytes> value_;
};

}  // namespace zuntar::csp
