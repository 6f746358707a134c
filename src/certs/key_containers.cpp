#include "certs/key_containers.h"

#include <cctype>

#include "certs/cert_files.h"
#include "certs/os_error.h"
#include "certs/provider_detection.h"
#include "core/text.h"
#include "platform/capi/api/crypt_api.h"
#include "platform/capi/api/provider_registration.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/base/wide_text.h"
#include "platform/capi/cert/cert_store.h"
#include "platform/registry.h"

namespace zuntar {
namespace {

constexpr DWORD kEnumerateFirst = CRYPT_FIRST | CRYPT_UNIQUE | CRYPT_FQCN;  // 0x19
constexpr DWORD kEnumerateNext = CRYPT_UNIQUE | CRYPT_FQCN;                 // 0x18

// A key parameter read by size query and value; empty when it has none.
Bytes KeyParam(const HCRYPTKEY& key, DWORD param) {
  DWORD size = 0;
  if (!CryptGetKeyParam(key, param, nullptr, &size, 0) || size == 0) return {};
  Bytes value(size, '\0');
  if (!CryptGetKeyParam(key, param, reinterpret_cast<BYTE*>(value.data()), &size, 0)) return {};
  value.resize(size);
  return value;
}

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// Certificates are linked with the 34.10-94 provider under the oldest
// CryptoPro versions, which know no other.
ProviderChoice LinkProvider(const ProviderState& providers, const Bytes& cert_body) {
  const std::string& version = providers.crypto_pro_version;
  if (StartsWith(version, "2.") || StartsWith(version, "1.")) return {PROV_GOST_94_DH, kCryptoPro94Name};
  return ProviderForCertificate(cert_body);
}

}  // namespace

void EnumContainers(std::vector<std::string>* list, const std::string& prefix) {
  HCRYPTPROV prov;
  if (!CryptAcquireContextA(&prov, nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT)) return;
  DWORD size = 0;
  if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, nullptr, &size, kEnumerateFirst)) return;
  Bytes buffer(size, '\0');
  DWORD flags = kEnumerateFirst;
  for (;;) {
    // The call leaves the length of the item it returned; passing that back
    // would stop the listing at the first longer name.
    DWORD length = static_cast<DWORD>(buffer.size());
    if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(buffer.data()), &length, flags)) {
      // A container that appeared since the size query may need more room.
      if (GetLastError() != ERROR_MORE_DATA || length <= buffer.size()) break;
      buffer.resize(length);
      continue;
    }
    flags = kEnumerateNext;
    const std::string item = Trim(std::string_view(buffer.data(), length));
    if (StartsWith(item, prefix)) list->push_back(item);
  }
}

Bytes GetContainerCertificate(const std::string& container) {
  HCRYPTPROV prov;
  if (!CryptAcquireContextA(&prov, container.c_str(), kCryptoPro2001Name, PROV_GOST_2001_DH, 0)) return {};
  for (DWORD key_spec : {AT_KEYEXCHANGE, AT_SIGNATURE}) {
    HCRYPTKEY key;
    if (!CryptGetUserKey(prov, key_spec, &key)) continue;
    const Bytes cert = KeyParam(key, KP_CERTIFICATE);
    if (!cert.empty()) return cert;
  }
  return {};
}

Bytes FindCertificateForContainer(const std::string& container, const std::vector<Bytes>& cert_bodies) {
  HCRYPTPROV prov;
  if (!CryptAcquireContextA(&prov, container.c_str(), nullptr, PROV_GOST_2001_DH, 0)) return {};
  CERT_PUBLIC_KEY_INFO key;
  if (!CryptExportPublicKeyInfo(prov, AT_KEYEXCHANGE, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, &key)) return {};
  for (const Bytes& body : cert_bodies) {
    const PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, body);
    if (cert != nullptr &&
        CertComparePublicKeyInfo(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, cert->Info().SubjectPublicKeyInfo, key))
      return body;
  }
  return {};
}

std::string RemovableContainerFolder(const std::string& container_name) {
  // "\\.\FAT12_" is ten characters; the drive letter follows.
  constexpr size_t kLetter = 10;
  const std::string name = container_name.substr(0, container_name.find('\0'));
  if (name.size() <= kLetter) return {};
  const unsigned char letter = static_cast<unsigned char>(name[kLetter]);
  if (!((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z'))) return {};
  const std::vector<std::string> parts = SplitByChar(std::string_view(name).substr(kLetter), '\\');
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    const size_t dot = it->rfind('.');
    if (dot == std::string::npos || it->size() - dot != 4) continue;
    if (std::isdigit(static_cast<unsigned char>((*it)[dot + 1])) &&
        std::isdigit(static_cast<unsigned char>((*it)[dot + 2])) &&
        std::isdigit(static_cast<unsigned char>((*it)[dot + 3])))
      return *it;
  }
  return {};
}

void InstallCertificateForContainer(const ProviderState& providers, const std::string& container,
                                    const Bytes& cert_body) {
  const PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, cert_body);
  if (cert == nullptr) throw LastWin32Error();
  const ProviderChoice provider = LinkProvider(providers, cert_body);
  CRYPT_KEY_PROV_INFO info;
  info.pwszContainerName = Utf16FromUtf8(Utf8FromAnsiText(container));
  info.pwszProvName = Utf16FromUtf8(Utf8FromAnsiText(provider.name));
  info.dwProvType = provider.type;
  // The signature key first, then the exchange key: the last link stays.
  for (DWORD key_spec : {AT_SIGNATURE, AT_KEYEXCHANGE}) {
    info.dwKeySpec = key_spec;
    if (!CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) throw LastWin32Error();
  }
  HCERTSTORE my = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                CERT_SYSTEM_STORE_CURRENT_USER, "MY");
  if (my == nullptr || !CertAddCertificateContextToStore(my, cert, CERT_STORE_ADD_ALWAYS, nullptr))
    throw LastWin32Error();
  CertCloseStore(my, 0);
}

bool RegistryReaderConfigured() {
  const auto reader_default = RegistryKey::OpenLocalMachine(std::string(kRegistryReaderKeyPath) + "\\Default");
  if (reader_default && reader_default->HasValue("Name")) return true;
  const auto reader = RegistryKey::OpenLocalMachine(kRegistryReaderKeyPath);
  return reader && reader->HasValue("Dll");
}

bool CopyContainerToRegistry(const ProviderState& providers, const std::string& container, const Bytes& cert_body,
                             const std::string& new_name) {
  const std::string name = new_name.empty() ? NewUniqueName() : new_name;
  std::string linked = container;
  if (RegistryReaderConfigured()) {
    const std::string target =
        (StartsWith(providers.crypto_pro_version, "2.") ? kOldRegistryContainerPrefix : kRegistryContainerPrefix) +
        name;
    if (CopyContainer(container, target, cert_body)) linked = target;
  }
  InstallCertificateForContainer(providers, linked, cert_body);
  return true;
}

}  // namespace zuntar
