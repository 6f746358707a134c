#include "crypto/cert_identity.h"

#include <cctype>

#include "platform/capi/base/error_codes.h"
#include "platform/capi/cert/store_files.h"

namespace zuntar {

std::string SerialHex(const Bytes& serial_blob, bool grouped) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(serial_blob.size() * 3);
  const size_t n = serial_blob.size();
  for (size_t written = 0; written < n; ++written) {
    const auto byte = static_cast<unsigned char>(serial_blob[n - 1 - written]);
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
    if (grouped && written % 2 == 1 && written + 1 < n) text += ' ';
  }
  return text;
}

std::string CertSerialHex(const PCCERT_CONTEXT& cert) {
  return cert != nullptr ? SerialHex(cert->Info().SerialNumber) : std::string();
}

std::string BytesToHex(const Bytes& bytes) { return HexUpper(bytes); }

Bytes HexToBytes(const std::string& text) {
  auto value = [](char c) {
    const int code = static_cast<unsigned char>(std::toupper(static_cast<unsigned char>(c)));
    return code >= '0' && code <= '9' ? code - '0' : code - 55;
  };
  Bytes bytes;
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i + 1 < text.size(); i += 2)
    bytes += static_cast<char>(static_cast<unsigned>(16 * value(text[i]) + value(text[i + 1])) & 0xFF);
  return bytes;
}

PCCERT_CONTEXT DecodeCertificate(const Bytes& cert_body) {
  return CertCreateCertificateContext(kMsgEncoding, cert_body);
}

PCCRL_CONTEXT DecodeCrl(const Bytes& crl_body) { return CertCreateCRLContext(kMsgEncoding, crl_body); }

Bytes CertBodyOf(const PCCERT_CONTEXT& cert) { return cert != nullptr ? cert->Encoded() : Bytes(); }

Bytes CertThumbprint(const PCCERT_CONTEXT& cert) {
  if (cert == nullptr) return {};
  BYTE hash[64];
  DWORD size = sizeof hash;
  if (!CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, hash, &size)) return {};
  return Bytes(reinterpret_cast<const char*>(hash), size);
}

std::string CertThumbprintHex(const PCCERT_CONTEXT& cert) { return BytesToHex(CertThumbprint(cert)); }

const CERT_EXTENSION* FindExtension(const PCCERT_CONTEXT& cert, const std::string& oid) {
  if (cert == nullptr) return nullptr;
  for (const CERT_EXTENSION& e : cert->Info().rgExtension)
    if (e.pszObjId == oid) return &e;
  return nullptr;
}

std::string ProviderName(const HCRYPTPROV& prov) {
  DWORD size = 0;
  if (!CryptGetProvParam(prov, PP_NAME, nullptr, &size, 0) || size == 0) return {};
  std::string name(size, '\0');
  if (!CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(name.data()), &size, 0)) return {};
  name.resize(size);
  if (const size_t nul = name.find('\0'); nul != std::string::npos) name.resize(nul);
  return name;
}

}  // namespace zuntar
