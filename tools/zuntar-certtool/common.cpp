#include <openssl/pem.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "certtool.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/base/ossl.h"
#include "platform/capi/base/wide_text.h"
#include "platform/capi/cert/cert_name.h"
#include "platform/capi/cert/cert_store.h"
#include "platform/capi/cert/store_files.h"
#include "platform/process.h"

namespace zuntar::certtool {

Options::Options(const std::vector<std::string>& args, const std::vector<std::string>& with_value,
                 const std::vector<std::string>& switches) {
  auto contains = [](const std::vector<std::string>& list, const std::string& s) {
    return std::find(list.begin(), list.end(), s) != list.end();
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.rfind("--", 0) != 0) {
      positional_.push_back(a);
    } else if (contains(with_value, a)) {
      if (i + 1 >= args.size()) throw ToolError("option " + a + " needs a value");
      values_[a] = args[++i];
    } else if (contains(switches, a) || a == "--help") {
      values_[a] = "";
    } else {
      throw ToolError("unknown option " + a + " (see --help)");
    }
  }
}

std::string Options::Get(const std::string& name, const std::string& fallback) const {
  const auto it = values_.find(name);
  return it == values_.end() ? fallback : it->second;
}

std::string Options::Require(const std::string& name) const {
  if (!Has(name)) throw ToolError("option " + name + " is required (see --help)");
  return Get(name);
}

PCCERT_CONTEXT ReadCertificateFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ToolError("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  Bytes bytes = text.str();
  if (bytes.find("-----BEGIN") != std::string::npos) {
    const ossl::BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    const ossl::X509Ptr x(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    bytes = x != nullptr ? ossl::ToDer(i2d_X509, x.get()) : Bytes();
  }
  PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, bytes);
  if (cert == nullptr) throw ToolError(path + " is not a certificate");
  return cert;
}

std::string SerialText(const PCCERT_CONTEXT& cert) {
  Bytes serial = cert->Info().SerialNumber;
  std::reverse(serial.begin(), serial.end());
  return HexUpper(serial);
}

std::string ListLine(const PCCERT_CONTEXT& cert) {
  return HexUpper(cert->Sha1()) + " " + SerialText(cert) + " " +
         NameToUtf8(cert->Info().Subject, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG);
}

std::pair<std::string, DWORD> ProviderForCertificate(const PCCERT_CONTEXT& cert) {
  // The key's own algorithm: the signature algorithm is the issuer's.
  const std::string& alg = cert->Info().SubjectPublicKeyInfo.Algorithm.pszObjId;
  if (alg == szOID_CP_GOST_R3410_12_256)
    return {"Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider", PROV_GOST_2012_256};
  if (alg == szOID_CP_GOST_R3410_12_512)
    return {"Crypto-Pro GOST R 34.10-2012 Strong Cryptographic Service Provider", PROV_GOST_2012_512};
  return {"Crypto-Pro GOST R 34.10-2001 Cryptographic Service Provider", PROV_GOST_2001_DH};
}

void LinkCertificate(const PCCERT_CONTEXT& cert, const std::string& container, DWORD key_spec) {
  const auto [name, type] = ProviderForCertificate(cert);
  CRYPT_KEY_PROV_INFO info{Utf16FromUtf8(container), Utf16FromUtf8(name), type, 0, key_spec};
  PCCERT_CONTEXT copy = CertDuplicateCertificateContext(cert);
  if (!CertSetCertificateContextProperty(copy, CERT_KEY_PROV_INFO_PROP_ID, 0, &info))
    throw ToolError("cannot set the key link: " + SysErrorMessage(GetLastError()));
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  if (my == nullptr || !CertAddCertificateContextToStore(my, copy, CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
    throw ToolError("cannot add the certificate to the personal store: " + SysErrorMessage(GetLastError()));
}

std::string DefaultModulePath() {
  // An installed tool finds the module beside it; a build tree uses its own.
  const std::string beside = ExecutableDir() + "libzuntar_gost_csp.so";
  std::ifstream probe(beside);
  return probe ? beside : std::string(ZUNTAR_BUILD_CSP_MODULE);
}

}  // namespace zuntar::certtool
