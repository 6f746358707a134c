#include "platform/crypto/provider_loader.h"

#include "platform/crypto/crypt_error.h"
#include "platform/crypto/gost_csp.h"
#include "platform/user_prompt.h"

namespace zuntar {
namespace {

const csp::Host kHost{&CurrentUserPrompt};

}  // namespace

csp::Module* LoadProviderModule(const std::string& name, DWORD prov_type, std::string* resolved_name, DWORD* error) {
  if (KeyParamsForProvType(prov_type) == nullptr) {
    *error = NTE_PROV_TYPE_NOT_DEF;
    return nullptr;
  }
  *resolved_name = name.empty() ? csp::DefaultProviderName(prov_type) : name;
  return csp::GostModule(&kHost);
}

}  // namespace zuntar
