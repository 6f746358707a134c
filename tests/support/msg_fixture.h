// Signers and recipients with real keys in containers for the message
// tests, and the files the openssl command needs to play the other side.
#pragma once

#include <openssl/pem.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/capi/base/wide_text.h"
#include "platform/capi/cert/cert_context.h"
#include "platform/capi/csp/container_import.h"
#include "platform/capi/csp/gost_module.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"

namespace zuntar::test {

// The signature-algorithm OID of certificates of each key kind.
inline const char* SignatureOidOf(GostKeyKind kind) {
  switch (kind) {
    case GostKeyKind::k2012_512: return "1.2.643.7.1.1.3.3";
    case GostKeyKind::k2001: return "1.2.643.2.2.3";
    default: return "1.2.643.7.1.1.3.2";
  }
}

inline const char* KindName(GostKeyKind kind) {
  switch (kind) {
    case GostKeyKind::k2012_512: return "2012-512";
    case GostKeyKind::k2001: return "2001";
    default: return "2012-256";
  }
}

inline void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WritePem(const std::string& path, const Bytes& cert_der) {
  const unsigned char* p = ossl::Data(cert_der);
  ossl::X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(cert_der.size())));
  FILE* f = std::fopen(path.c_str(), "w");
  PEM_write_X509(f, x.get());
  std::fclose(f);
}

inline void WriteKeyPem(const std::string& path, EVP_PKEY* key) {
  FILE* f = std::fopen(path.c_str(), "w");
  PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
}

// Runs a shell command quietly; its exit status.
inline int Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

// A person with a key in a container and a certificate linked to it, plus
// PEM files of both for openssl.
struct Party {
  Issued issued;
  PCCERT_CONTEXT cert;
  std::string cert_pem;
  std::string key_pem;
  std::string container;
};

inline Party MakeParty(const TempDir& dir, const Issued& ca, const std::string& name, GostKeyKind kind,
                       DWORD key_spec = AT_KEYEXCHANGE, CertRequest* custom = nullptr, const std::string& pin = {}) {
  Party p;
  p.issued = MakeUser(ca, name, kind, custom);
  p.container = "\\\\.\\REGISTRY\\" + name;
  ImportKeyContainer(p.container, p.issued.key.get(), p.issued.der, pin, key_spec);
  p.cert = CertCreateCertificateContext(X509_ASN_ENCODING, p.issued.der);
  const GostKeyParams& params = DefaultKeyParams(kind);
  CRYPT_KEY_PROV_INFO info;
  info.pwszContainerName = std::u16string(p.container.begin(), p.container.end());
  const std::string prov = csp::DefaultProviderName(params.prov_type);
  info.pwszProvName = std::u16string(prov.begin(), prov.end());
  info.dwProvType = params.prov_type;
  info.dwKeySpec = key_spec;
  CertSetCertificateContextProperty(p.cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
  p.cert_pem = dir / (name + ".pem");
  p.key_pem = dir / (name + ".key");
  WritePem(p.cert_pem, p.issued.der);
  WriteKeyPem(p.key_pem, p.issued.key.get());
  return p;
}

}  // namespace zuntar::test
