// What the provider is given to open a response of the fund's services: the
// fields of the key-transport value, the two key blobs made of them, and the
// profile of calls each family of GOST providers needs.
#pragma once

#include <string_view>

#include "platform/capi/base/crypt_types.h"

namespace zuntar {

// The fields of a key-transport value, read at the fixed positions they
// have in the DER structure the fund sends for 256-bit keys. Nothing else is
// parsed or checked: a shorter value gives shorter (possibly empty) fields,
// and the provider then refuses the blobs made of them.
struct FundKeyTransport {
  Bytes encrypted_key;  // 32 bytes at offset 7
  Bytes mac;            // 4 bytes at offset 41
  Bytes ephemeral_key;  // 64 bytes at offset 98: the sender's public key
  Bytes ukm;            // 8 bytes at offset 164
};

FundKeyTransport ReadFundKeyTransport(const Bytes& value);

// The sender's ephemeral key as a public-key blob: algorithm 0x2E49, "MAG1",
// 512 bits, then the DER parameters of the holder's own public key
// (unchanged) and the key.
Bytes FundPublicKeyBlob(const Bytes& holder_key_parameters, const Bytes& ephemeral_key);

// The wrapped content key as a simple blob: algorithm 0x661E, magic
// 0x374A51FD, wrapping algorithm 0x661E, UKM, encrypted key, MAC and the
// cipher parameter set 1.2.643.7.1.2.5.1.1; 73 bytes from whole fields.
Bytes FundSimpleBlob(const FundKeyTransport& transport);

enum class FundDecryption {
  kPieces,             // eight bytes a call, the last one final
  kWholeTwoStepFinal,  // one call without the final flag, then an empty final one
  kWhole,              // one final call
};

struct FundProviderProfile {
  DWORD agreement_param;  // the agreement key's parameter set to 0x661F
  DWORD padding;          // the content key's padding mode; 0 leaves the provider's own
  FundDecryption decryption;
};

// By the provider's name: "Crypto-Pro" anywhere in it, else "Infotecs",
// else the profile that sets no padding.
FundProviderProfile FundProfileFor(std::string_view provider_name);

// Removes the fund's padding, N bytes of value N (N below 8), when the
// plain text ends in exactly such bytes; anything else stays as it is.
void RemoveFundPadding(Bytes* plain);

}  // namespace zuntar
