// The GOST signatures exist only in the engine of the installed gost package
// (its provider lacks them), so the deprecated ENGINE interface is used on
// purpose.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "platform/crypto/base/ossl.h"

#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/sha.h>

#include <mutex>

namespace zuntar::ossl {

void detail::EngineRelease::operator()(ENGINE* engine) const { ENGINE_free(engine); }

bool EnsureGostEngine() {
  // The engine stays loaded for the life of the process: OpenSSL keeps its
  // algorithms registered globally, so there is nothing to give back.
  static const bool loaded = [] {
    ENGINE_load_builtin_engines();
    // ENGINE_init takes a reference of its own: this one goes at the end.
    const EnginePtr engine(ENGINE_by_id("gost"));
    const bool ok = engine != nullptr && ENGINE_init(engine.get()) == 1 &&
                    ENGINE_set_default(engine.get(), ENGINE_METHOD_ALL) == 1;
    ERR_clear_error();
    return ok;
  }();
  return loaded;
}

const EVP_MD* DigestByName(const char* name) {
  EnsureGostEngine();
  return EVP_get_digestbyname(name);
}

const EVP_CIPHER* CipherByName(const char* name) {
  EnsureGostEngine();
  return EVP_get_cipherbyname(name);
}

std::string OidText(const ASN1_OBJECT* obj) {
  if (obj == nullptr) return {};
  char buffer[128];
  const int len = OBJ_obj2txt(buffer, sizeof buffer, obj, 1);
  if (len <= 0) return {};
  if (static_cast<size_t>(len) < sizeof buffer) return std::string(buffer, static_cast<size_t>(len));
  std::string big(static_cast<size_t>(len) + 1, '\0');
  OBJ_obj2txt(big.data(), static_cast<int>(big.size()), obj, 1);
  big.resize(static_cast<size_t>(len));
  return big;
}

void ClearErrors() { ERR_clear_error(); }

Bytes TakeDer(int len, unsigned char* out) {
  const BufferPtr owned(out);
  if (len <= 0) return {};
  return Bytes(reinterpret_cast<const char*>(out), static_cast<size_t>(len));
}

Bytes Sha1(const Bytes& bytes) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(Data(bytes), bytes.size(), digest);
  return Bytes(reinterpret_cast<const char*>(digest), sizeof digest);
}

}  // namespace zuntar::ossl
