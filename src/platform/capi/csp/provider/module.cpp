// The GOST provider module: a shared library that the CryptoAPI-shaped layer
// loads through the registry stand-in, as Windows loads a provider DLL.
#include "platform/capi/csp/csp_module.h"

extern "C" __attribute__((visibility("default"))) zuntar::csp::Module* ZuntarCspModule(
    uint32_t interface_version, const zuntar::csp::Host* host) {
  if (interface_version != zuntar::csp::kInterfaceVersion || host == nullptr || host->prompt == nullptr)
    return nullptr;
  return zuntar::csp::GostModule(host);
}
