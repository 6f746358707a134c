#include "certs/provider_detection.h"

#include <cctype>

#include "core/text.h"
#include "platform/capi/api/crypt_api.h"
#include "platform/capi/api/provider_registration.h"
#include "platform/capi/base/error_codes.h"
#include "platform/file_io.h"
#include "platform/file_version.h"
#include "platform/registry.h"

namespace zuntar {
namespace {

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool IsCryptoProName(std::string_view name) {
  for (const char* known : {kCryptoProName, kCryptoPro94Name, kCryptoPro2001Name, kCryptoPro2012Name,
                            kCryptoPro2012StrongName})
    if (SameText(name, known)) return true;
  return StartsWith(name, kCryptoPro2012Prefix);
}

bool Is2012Name(std::string_view name) {
  return SameText(name, kCryptoPro2012Name) || SameText(name, kCryptoPro2012StrongName) ||
         StartsWith(name, kCryptoPro2012Prefix);
}

// The best version of a family so far: the first one found, replaced only by
// a newer major version.
void OfferVersion(const std::string& found, std::string* best) {
  if (found.empty()) return;
  if (*best == "?" || IsNewerMajorVersion(found, *best)) *best = found;
}

// The module file of a registered provider, when its key names one that
// exists.
std::optional<std::string> ModuleOf(const RegistryKey& providers, const std::string& name) {
  const auto key = providers.OpenSubKey(name);
  if (!key) return std::nullopt;
  const auto path = key->ReadString("Image Path");
  if (!path || path->empty() || !FileExists(*path)) return std::nullopt;
  return path;
}

}  // namespace

long LeadingVersionNumber(std::string_view version) {
  long number = -1;
  for (char c : version) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    number = (number < 0 ? 0 : number) * 10 + (c - '0');
    if (number > 1000000) break;  // no real version gets near; keeps the sum in range
  }
  return number;
}

bool IsNewerMajorVersion(std::string_view candidate, std::string_view current) {
  const long a = LeadingVersionNumber(candidate);
  const long b = LeadingVersionNumber(current);
  if (a >= 0 && b >= 0) return a > b;
  // Texts that do not start with a number compare by their first character.
  if (candidate.empty()) return false;
  return current.empty() || static_cast<unsigned char>(candidate[0]) > static_cast<unsigned char>(current[0]);
}

ProviderState ReadProviderState() {
  ProviderState s;
  bool saw_2012 = false;
  if (const auto providers = RegistryKey::OpenLocalMachine(kProviderKeyPath)) {
    for (const std::string& name : providers->SubKeyNames()) {
      const auto module = ModuleOf(*providers, name);
      if (!module) continue;
      if (SameText(name, kViPNetName)) {
        s.vipnet_installed = true;
        OfferVersion(FileVersionText(*module), &s.vipnet_version);
      } else if (IsCryptoProName(name)) {
        s.crypto_pro_installed = true;
        saw_2012 = saw_2012 || Is2012Name(name);
        OfferVersion(FileVersionText(*module), &s.crypto_pro_version);
      }
    }
  }
  // Some 3.x modules of the 2012 generation report an older file version
  // than the product; the product's own setting tells.
  if (s.crypto_pro_installed && saw_2012 && StartsWith(s.crypto_pro_version, "3.")) {
    const auto settings = RegistryKey::OpenLocalMachine(kCryptoProSettingsKeyPath);
    const std::string version = settings ? settings->ReadString("Version").value_or("") : "";
    if (!version.empty() && IsNewerMajorVersion(version, s.crypto_pro_version)) s.crypto_pro_version = version;
  }
  return s;
}

bool ProviderState::Installed(int kind) const {
  if (kind == kProviderCryptoPro) return crypto_pro_version.size() > 1;
  if (kind == kProviderViPNet) return vipnet_installed;
  return false;
}

ProviderChoice ProviderForCertificate(const Bytes& cert_body) {
  // The key's own algorithm decides: the certificate's signature algorithm
  // is its issuer's, which may be of another kind.
  const PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, cert_body);
  const std::string oid = cert != nullptr ? cert->Info().SubjectPublicKeyInfo.Algorithm.pszObjId : "";
  if (oid == szOID_CP_GOST_R3410_12_512) return {PROV_GOST_2012_512, kCryptoPro2012StrongName};
  if (oid == szOID_CP_GOST_R3410_12_256) return {PROV_GOST_2012_256, kCryptoPro2012Name};
  return {PROV_GOST_2001_DH, kCryptoPro2001Name};
}

bool ProviderSelfTest(std::string* message) {
  message->clear();
  HCRYPTPROV prov;
  if (!CryptAcquireContextA(&prov, nullptr, nullptr, PROV_GOST_2012_256, CRYPT_VERIFYCONTEXT)) return false;
  DWORD size = 0;
  if (!CryptGetProvParam(prov, PP_SELFTEST, nullptr, &size, 0)) return false;
  Bytes block(size, '\0');
  if (!CryptGetProvParam(prov, PP_SELFTEST, reinterpret_cast<BYTE*>(block.data()), &size, 0)) return false;
  // The failure word must be there to be read.
  if (size < kSelfTestFailureOffset + 4) return false;
  if (block.compare(kSelfTestFailureOffset, 4, Bytes(4, '\0')) != 0) {
    *message = "seft test failed";
    return false;
  }
  return true;
}

}  // namespace zuntar
