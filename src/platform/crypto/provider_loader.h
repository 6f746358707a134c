// Finding the provider module that serves a provider name and type.
#pragma once

#include <string>

#include "platform/crypto/csp_module.h"

namespace zuntar {

// The module for a provider name (empty: the default provider of the type)
// and type; null with an NTE_* code in *error when none is registered or it
// cannot be loaded. *resolved_name receives the provider's name.
csp::Module* LoadProviderModule(const std::string& name, DWORD prov_type, std::string* resolved_name, DWORD* error);

}  // namespace zuntar
