#include "platform/crypto/csp/container_import.h"

#include "platform/crypto/cert/cert_builder.h"

namespace zuntar {

std::optional<ContainerLocation> ImportKeyContainer(const std::string& name, EVP_PKEY* key, const Bytes& cert_der,
                                                    const std::string& pin, DWORD key_spec) {
  const Bytes pkcs8 = PrivateKeyToPkcs8(key, pin);
  if (pkcs8.empty()) return std::nullopt;
  std::optional<ContainerLocation> location = CreateContainer(name);
  if (!location) return std::nullopt;
  const KeyContainerFolder folder(location->folder);
  if (!folder.WriteKey(key_spec, pkcs8) || !folder.WritePublicKey(key_spec, ossl::ToDer(i2d_PUBKEY, key)) || (!cert_der.empty() && !folder.WriteCertificate(key_spec, cert_der))) {
    DeleteContainer(*location);
    return std::nullopt;
  }
  return location;
}

}  // namespace zuntar
