// The GOST provider as a module (csp_module.h): it answers provider types
// 75, 80 and 81 under the CryptoPro names of each type.
#pragma once

#include "platform/capi/base/crypt_types.h"
#include "platform/capi/csp/csp_module.h"

namespace zuntar::csp {

// The provider name a type is registered under by default.
const char* DefaultProviderName(DWORD prov_type);

}  // namespace zuntar::csp
