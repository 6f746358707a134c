#include "platform/capi/csp/self_test.h"

#include <cstring>

#include "platform/capi/cert/cert_builder.h"
#include "platform/capi/csp/gost_hash.h"
#include "platform/capi/gost/gost_key_material.h"

namespace zuntar::csp {

Bytes SelfTestBlock() {
  // A known answer of the hash and a signature round trip.
  static const unsigned char kAbcDigest[32] = {
      0x4e, 0x29, 0x19, 0xcf, 0x13, 0x7e, 0xd4, 0x1e, 0xc4, 0xfb, 0x62, 0x70, 0xc6, 0x18, 0x26, 0xcc,
      0x4f, 0xff, 0xb6, 0x60, 0x34, 0x1e, 0x0a, 0xf3, 0x68, 0x8c, 0xd0, 0x62, 0x6d, 0x23, 0xb4, 0x81};
  bool ok = false;
  if (const EVP_MD* md = HashDigest(CALG_GR3411_2012_256)) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    ok = EVP_Digest("abc", 3, out, &len, md, nullptr) == 1 && len == 32 && std::memcmp(out, kAbcDigest, 32) == 0;
    ossl::PKeyPtr key = ok ? GenerateGostKey(GostKeyKind::k2012_256) : nullptr;
    const Bytes digest(reinterpret_cast<const char*>(kAbcDigest), 32);
    Bytes signature;
    ok = key != nullptr && SignDigest(key.get(), digest, &signature) && VerifyDigest(key.get(), digest, signature);
  }
  Bytes block(kSelfTestBlockSize, '\0');
  block[0] = static_cast<char>(kSelfTestBlockSize);
  block[kSelfTestFailureOffset] = ok ? 0 : 1;
  return block;
}

}  // namespace zuntar::csp
