// GOST 28147-89 through the engine: block encryption under a parameter set,
// the CryptoPro key diversification and key wrap (RFC 4357), and the MAC.
#pragma once

#include <string>

#include "platform/capi/base/crypt_types.h"

namespace zuntar::gost28147 {

constexpr size_t kKeySize = 32;
constexpr size_t kBlockSize = 8;

// ECB over whole blocks; false on a bad length or an unknown parameter set.
bool EncryptEcb(const Bytes& key, const std::string& paramset, const Bytes& in, Bytes* out);
bool DecryptEcb(const Bytes& key, const std::string& paramset, const Bytes& in, Bytes* out);
// CFB over any length (no key meshing beyond the engine's own).
bool EncryptCfb(const Bytes& key, const std::string& paramset, const Bytes& iv, const Bytes& in, Bytes* out);
bool DecryptCfb(const Bytes& key, const std::string& paramset, const Bytes& iv, const Bytes& in, Bytes* out);

// The 4-byte MAC of whole blocks with an initial vector (the CryptoPro
// parameter set A or the TC26 set Z).
bool Mac(const Bytes& key, const std::string& paramset, const Bytes& iv, const Bytes& data, Bytes* mac);

// CryptoPro key wrap: 32-byte encrypted key and its 4-byte MAC, under the
// key-encryption key diversified with the 8-byte UKM.
bool WrapCryptoPro(const Bytes& kek, const std::string& paramset, const Bytes& ukm, const Bytes& key,
                   Bytes* encrypted, Bytes* mac);
bool UnwrapCryptoPro(const Bytes& kek, const std::string& paramset, const Bytes& ukm, const Bytes& encrypted,
                     const Bytes& mac, Bytes* key);
// The same without diversification (CALG_SIMPLE_EXPORT).
bool WrapSimple(const Bytes& kek, const std::string& paramset, const Bytes& ukm, const Bytes& key, Bytes* encrypted,
                Bytes* mac);
bool UnwrapSimple(const Bytes& kek, const std::string& paramset, const Bytes& ukm, const Bytes& encrypted,
                  const Bytes& mac, Bytes* key);

// DER of the parameter set OID as carried at the end of a simple blob:
// SEQUENCE { OBJECT IDENTIFIER }. Parse returns the OID text, empty on error.
Bytes EncodeParamSet(const std::string& paramset);
std::string DecodeParamSet(const Bytes& der);

}  // namespace zuntar::gost28147
