// A private key of the provider with what the provider knows about it.
#pragma once

#include "platform/capi/base/crypt_types.h"
#include "platform/capi/base/ossl.h"
#include "platform/capi/gost/gost_params.h"

namespace zuntar::csp {

struct KeyPair {
  ossl::PKeyShared pkey;
  const GostKeyParams* params = nullptr;
  DWORD key_spec = 0;
  bool exportable = true;
};

}  // namespace zuntar::csp
