// The GOST signatures exist only in the engine of the installed gost package
// (its provider lacks them), so the deprecated ENGINE interface is used on
// purpose.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "platform/capi/base/ossl.h"

#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/sha.h>

#include <charconv>
#include <cstdint>
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

namespace {

// The dotted text of an identifier's content octets when every arc fits
// 64 bits and the encoding is complete; false otherwise (OpenSSL then
// writes it). Names are read in loops over every attribute, and OpenSSL's
// own writer formats each arc through its slow printf.
bool SmallOidText(const unsigned char* der, size_t size, std::string* text) {
  if (der == nullptr || size == 0) return false;
  char digits[24] = {'.'};
  bool first = true;
  uint64_t arc = 0;
  for (size_t i = 0; i < size; ++i) {
    if (arc > (UINT64_MAX >> 7)) return false;
    arc = (arc << 7) | (der[i] & 0x7F);
    if (der[i] & 0x80) continue;
    if (first) {
      const uint64_t top = arc < 40 ? 0 : arc < 80 ? 1 : 2;
      *text += static_cast<char>('0' + top);
      arc -= top * 40;
      first = false;
    }
    const char* end = std::to_chars(digits + 1, digits + sizeof digits, arc).ptr;
    text->append(digits, static_cast<size_t>(end - digits));
    arc = 0;
  }
  return (der[size - 1] & 0x80) == 0;
}

}  // namespace

std::string OidText(const ASN1_OBJECT* obj) {
  if (obj == nullptr) return {};
  std::string text;
  if (SmallOidText(OBJ_get0_data(obj), OBJ_length(obj), &text)) return text;
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
