// Putting an existing private key and its certificate into a new key
// container (the certificate tool's import and the tests use it).
#pragma once

#include <optional>
#include <string>

#include "platform/capi/base/ossl.h"
#include "platform/capi/csp/key_container.h"

namespace zuntar {

// Creates the container named (see CreateContainer) and stores the key under
// the key spec, encrypted when a PIN is given, with the certificate beside it.
// Nothing when the container exists already or cannot be written; *why
// (when given) then says which, with the path and the system's reason.
std::optional<ContainerLocation> ImportKeyContainer(const std::string& name, EVP_PKEY* key, const Bytes& cert_der,
                                                    const std::string& pin, DWORD key_spec,
                                                    std::string* why = nullptr);

}  // namespace zuntar
