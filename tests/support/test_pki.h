// Certificates and keys made at test time for the crypto tests. A suite
// that includes this defines ZUNTAR_TEST_CSP_MODULE, the provider module of
// the build (zuntar_use_test_pki in tests/CMakeLists.txt).
#pragma once

#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/capi/api/provider_registration.h"
#include "platform/capi/cert/cert_builder.h"
#include "platform/capi/cert/cert_context.h"

namespace zuntar::test {

// A key with its certificate.
struct Issued {
  ossl::PKeyPtr key;
  Bytes der;
};

inline int64_t NowSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

inline Issued MakeCa(GostKeyKind kind = GostKeyKind::k2012_256) {
  Issued ca;
  ca.key = GenerateGostKey(kind);
  CertRequest r;
  r.subject = {{"2.5.4.6", "RU"}, {"2.5.4.10", "Тестовый УЦ"}, {"2.5.4.3", "Тестовый УЦ"}};
  r.not_before = NowSeconds() - 86400;
  // Well past its users' periods, so that their validity nests in its own.
  r.not_after = NowSeconds() + 86400 * 3650;
  r.is_ca = true;
  r.key_usage = CERT_KEY_CERT_SIGN_KEY_USAGE | CERT_CRL_SIGN_KEY_USAGE | CERT_DIGITAL_SIGNATURE_KEY_USAGE;
  ca.der = BuildCertificate(r, ca.key.get(), {}, ca.key.get());
  return ca;
}

inline CertRequest UserRequest(const std::string& cn) {
  CertRequest r;
  r.subject = {{"2.5.4.6", "RU"},
               {"2.5.4.8", "77 Москва"},
               {"2.5.4.7", "Москва"},
               {"2.5.4.10", "ООО \"Ромашка\""},
               {"2.5.4.4", "Иванов"},
               {"2.5.4.42", "Иван Иванович"},
               {"1.2.643.3.131.1.1", "007701234567"},
               {"1.2.643.100.4", "7701234567"},
               {"1.2.643.100.1", "1027700132195"},
               {"1.2.643.100.3", "12345678901"},
               {"2.5.4.3", cn}};
  r.not_before = NowSeconds() - 3600;
  r.not_after = NowSeconds() + 86400 * 365;
  r.key_usage = CERT_DIGITAL_SIGNATURE_KEY_USAGE | CERT_NON_REPUDIATION_KEY_USAGE |
                CERT_KEY_ENCIPHERMENT_KEY_USAGE | CERT_DATA_ENCIPHERMENT_KEY_USAGE;
  r.extended_key_usage = {"1.3.6.1.5.5.7.3.2", "1.3.6.1.5.5.7.3.4"};
  r.policies = {"1.2.643.100.113.1", "1.2.643.100.113.2"};
  r.private_key_usage_period = {{NowSeconds() - 3600, NowSeconds() + 86400 * 365}};
  return r;
}

inline Issued MakeUser(const Issued& ca, const std::string& cn, GostKeyKind kind = GostKeyKind::k2012_256,
                       CertRequest* custom = nullptr) {
  Issued user;
  user.key = GenerateGostKey(kind);
  const CertRequest r = custom != nullptr ? *custom : UserRequest(cn);
  user.der = BuildCertificate(r, user.key.get(), ca.der, ca.key.get());
  return user;
}

// Points ZUNTAR_PLATFORM_ROOT at a folder for the life of the object, with
// the provider module of this build registered there (unless told not to).
class ScopedPlatformRoot {
 public:
  explicit ScopedPlatformRoot(const std::string& path, bool register_provider = true) {
    const char* old = std::getenv("ZUNTAR_PLATFORM_ROOT");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("ZUNTAR_PLATFORM_ROOT", path.c_str(), 1);
    if (register_provider) RegisterGostProvider(ZUNTAR_TEST_CSP_MODULE);
  }
  ~ScopedPlatformRoot() {
    if (had_)
      setenv("ZUNTAR_PLATFORM_ROOT", old_.c_str(), 1);
    else
      unsetenv("ZUNTAR_PLATFORM_ROOT");
  }

 private:
  bool had_ = false;
  std::string old_;
};

}  // namespace zuntar::test
