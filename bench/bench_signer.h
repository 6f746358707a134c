// A private platform tree with the provider of the build registered and one
// GOST R 34.10-2012 (256) signer whose key lives in a registry container,
// for the message benchmarks. Removed with the object.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "platform/capi/api/provider_registration.h"
#include "platform/capi/cert/cert_builder.h"
#include "platform/capi/cert/cert_context.h"
#include "platform/capi/csp/container_import.h"
#include "platform/capi/csp/gost_module.h"

namespace zuntar::bench {

struct BenchSigner {
  explicit BenchSigner(const std::string& name) {
    root = (std::filesystem::temp_directory_path() / ("zuntar-" + name + "-" + std::to_string(getpid()))).string();
    std::filesystem::create_directories(root);
    setenv("ZUNTAR_PLATFORM_ROOT", root.c_str(), 1);
    RegisterGostProvider(ZUNTAR_BENCH_CSP_MODULE);
    key = GenerateGostKey(GostKeyKind::k2012_256);
    CertRequest r;
    r.subject = {{"2.5.4.3", "Bench"}};
    r.not_before = std::time(nullptr) - 3600;
    r.not_after = std::time(nullptr) + 86400;
    r.key_usage = 0xF0;
    const Bytes der = BuildCertificate(r, key.get(), {}, key.get());
    ImportKeyContainer("\\\\.\\REGISTRY\\bench", key.get(), der, {}, AT_KEYEXCHANGE);
    cert = CertCreateCertificateContext(X509_ASN_ENCODING, der);
    const std::string prov = csp::DefaultProviderName(PROV_GOST_2012_256);
    CRYPT_KEY_PROV_INFO info{u"\\\\.\\REGISTRY\\bench", std::u16string(prov.begin(), prov.end()),
                             PROV_GOST_2012_256, 0, AT_KEYEXCHANGE};
    CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
  }
  ~BenchSigner() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }

  std::string root;
  ossl::PKeyPtr key;
  PCCERT_CONTEXT cert;
};

// Bytes of a fixed pattern, the same in every run.
inline Bytes PatternData(size_t size) {
  Bytes d(size, '\0');
  for (size_t i = 0; i < size; ++i) d[i] = static_cast<char>((i * 2654435761u) >> 11);
  return d;
}

}  // namespace zuntar::bench
