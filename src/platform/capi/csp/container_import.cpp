#include "platform/capi/csp/container_import.h"

#include <cerrno>
#include <cstring>

#include "platform/capi/cert/cert_builder.h"

namespace zuntar {

std::optional<ContainerLocation> ImportKeyContainer(const std::string& name, EVP_PKEY* key, const Bytes& cert_der,
                                                    const std::string& pin, DWORD key_spec, std::string* why) {
  const Bytes pkcs8 = PrivateKeyToPkcs8(key, pin);
  if (pkcs8.empty()) {
    if (why != nullptr) *why = "the key cannot be stored (not a GOST key?)";
    return std::nullopt;
  }
  std::optional<ContainerLocation> location = CreateContainer(name, why);
  if (!location) return std::nullopt;
  const KeyContainerFolder folder(location->folder);
  const std::string key_number = std::to_string(key_spec);
  const char* failed = !folder.WriteKey(key_spec, pkcs8) ? ".p8"
                       : !folder.WritePublicKey(key_spec, ossl::ToDer(i2d_PUBKEY, key)) ? ".pub"
                       : (!cert_der.empty() && !folder.WriteCertificate(key_spec, cert_der)) ? ".cer"
                                                                                               : nullptr;
  if (failed != nullptr) {
    const int err = errno;
    if (why != nullptr)
      *why = "cannot write " + location->folder + "/key" + key_number + failed + ": " + std::strerror(err);
    DeleteContainer(*location);
    return std::nullopt;
  }
  return location;
}

}  // namespace zuntar
