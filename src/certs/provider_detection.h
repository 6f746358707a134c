// Which GOST cryptographic service providers this machine has, in which
// version, and which provider a certificate's key needs.
//
// Start reads the state anew each time; the running plugin keeps it
// (PluginContext) and hands it to whoever needs it. Versions are
// "%d.%d.%d.%d" texts of the providers' module files, "?" when none was
// found: presence by version is always asked as "longer than one character".
#pragma once

#include <string>
#include <string_view>

#include "platform/capi/base/crypt_types.h"

namespace zuntar {

// Provider kinds as the rest of the program passes them around.
constexpr int kProviderCryptoPro = 1;
constexpr int kProviderViPNet = 3;

inline constexpr char kCryptoProName[] = "Crypto-Pro Cryptographic Service Provider";
inline constexpr char kCryptoPro94Name[] = "Crypto-Pro GOST R 34.10-94 Cryptographic Service Provider";
inline constexpr char kCryptoPro2001Name[] = "Crypto-Pro GOST R 34.10-2001 Cryptographic Service Provider";
inline constexpr char kCryptoPro2012Name[] = "Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider";
inline constexpr char kCryptoPro2012StrongName[] =
    "Crypto-Pro GOST R 34.10-2012 Strong Cryptographic Service Provider";
inline constexpr char kCryptoPro2012Prefix[] = "Crypto-Pro GOST R 34.10-2012";
inline constexpr char kViPNetName[] = "Infotecs Cryptographic Service Provider";
constexpr DWORD PROV_GOST_94_DH = 71;

inline constexpr char kCryptoProSettingsKeyPath[] = "\\SOFTWARE\\Crypto Pro\\Settings";

struct ProviderState {
  bool crypto_pro_installed = false;
  bool vipnet_installed = false;
  std::string crypto_pro_version = "?";
  std::string vipnet_version = "?";

  // Whether a provider of that kind is there: CryptoPro by its version (a
  // module without a version record does not count), ViPNet by its
  // registration; false for any other kind.
  bool Installed(int kind) const;
};

// Reads the registry's provider keys and the modules' version records.
ProviderState ReadProviderState();

// The number a version text starts with (10 for "10.0.1.0"); -1 when it
// starts with no digit.
long LeadingVersionNumber(std::string_view version);
// Whether `candidate` is a newer major version than `current`: leading
// numbers compared, or first characters when either has none.
bool IsNewerMajorVersion(std::string_view candidate, std::string_view current);

struct ProviderChoice {
  DWORD type;
  std::string name;
};

// The CryptoPro provider for a certificate's key, by the key's own
// algorithm: 2012-512 keys type 81, 2012-256 keys type 80, anything else
// (2001 keys, an undecodable body) type 75.
ProviderChoice ProviderForCertificate(const Bytes& cert_body);

// The provider's self test (parameter 145 of a type 80 context): false with
// "seft test failed" when the provider flagged a failure, false with an
// empty message when it could not be asked.
bool ProviderSelfTest(std::string* message);

}  // namespace zuntar
