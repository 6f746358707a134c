// Reading a private key and its certificate from a PKCS #12 file, as
// OpenSSL writes them and as the GOST providers of Windows workstations
// export them.
//
// The integrity check (MAC) of a GOST file comes in two forms: the one of
// the Russian recommendations for GOST PKCS #12 (the MAC key is the last 32
// of 96 bytes of PBKDF2 over HMAC with the GOST hash, UTF-8 password) and
// the older one of the exporting providers (the PKCS #12 key derivation
// with the GOST hash), each with GOST R 34.11-94 or 34.11-2012 (256 or 512
// bits). Either is accepted; other digests take OpenSSL's own check. The
// bags are decrypted by OpenSSL with the GOST engine (PBES2 with GOST
// 28147-89, Magma or Kuznyechik), and a GOST private key is checked in
// every form the exporters write (little-endian octets, an integer, the
// masked form) before the engine decodes it.
#pragma once

#include <string>

#include "platform/capi/base/ossl.h"

namespace zuntar {

enum class PfxFailure {
  kNone,
  kFormat,    // not PKCS #12, or a form this reader does not know
  kPassword,  // the integrity check does not match the password
};

struct PfxContents {
  ossl::PKeyPtr key;
  Bytes cert;  // DER of the certificate whose public key is the key's
};

// On failure `why` says what in the file could not be read.
PfxFailure ReadPfx(const Bytes& der, const std::string& password, PfxContents* out, std::string* why);

}  // namespace zuntar
