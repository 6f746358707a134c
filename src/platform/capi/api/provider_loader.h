// Finding the provider module that serves a provider name and type.
#pragma once

#include <string>
#include <vector>

#include "platform/capi/csp/csp_module.h"

namespace zuntar {

// The module for a provider name (empty: the default provider of the type,
// "Provider Types\Type <nnn>" "Name") and type, from the registry stand-in:
// "Provider\<name>" with "Type" and "Image Path", the module loaded once per
// process. Null with the code in *error when the type has no default
// (NTE_PROV_TYPE_NOT_DEF), the name is not registered (NTE_KEYSET_NOT_DEF),
// the type differs (NTE_PROV_TYPE_NO_MATCH), the file is missing
// (NTE_PROV_DLL_NOT_FOUND) or does not load (NTE_PROVIDER_DLL_FAIL).
// *resolved_name receives the provider's registered name.
csp::Module* LoadProviderModule(const std::string& name, DWORD prov_type, std::string* resolved_name, DWORD* error);

// Every module loaded so far.
std::vector<csp::Module*> LoadedProviderModules();

// Gives every module loaded so far, and each one loaded later, the idle
// limit of its key cache.
void SetProviderKeyCacheIdleLimit(uint32_t minutes);

}  // namespace zuntar
