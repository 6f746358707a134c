// The registry entries of the GOST provider module, as its set-up writes
// them: one provider key per name of the CryptoPro family it answers to
// (types 75, 80 and 81) with the module's "Image Path", the default
// provider of each type, and the registry key reader.
#pragma once

#include <string>

#include "platform/capi/base/crypt_types.h"

namespace zuntar {

inline constexpr char kProviderKeyPath[] = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";
inline constexpr char kProviderTypesKeyPath[] = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider Types";
inline constexpr char kRegistryReaderKeyPath[] =
    "SOFTWARE\\Crypto Pro\\Cryptography\\CurrentVersion\\KeyDevices\\Registry";

// "Type 075" and the like.
std::string ProviderTypeKeyName(DWORD prov_type);

// Writes the entries into the registry file (RegistryFile() when empty).
// Throws EFOpenError / EFCreateError when the file cannot be read or written.
void RegisterGostProvider(const std::string& module_path, const std::string& registry_file = {});

}  // namespace zuntar
