#include "crypto/fund_blobs.h"

#include <algorithm>

#include "platform/capi/csp/key_blob.h"
#include "platform/capi/csp/param_value.h"

namespace zuntar {
namespace {

// SEQUENCE { OBJECT IDENTIFIER 1.2.643.7.1.2.5.1.1 }: the cipher parameter
// set of the content key.
constexpr std::string_view kCipherParamSet("\x30\x0B\x06\x09\x2A\x85\x03\x07\x01\x02\x05\x01\x01", 13);

constexpr DWORD kFundPublicKeyBits = 512;

// Up to `length` bytes from `offset`; fewer, or none, past the end.
Bytes Field(const Bytes& value, size_t offset, size_t length) {
  return value.substr(std::min(offset, value.size()), length);
}

}  // namespace

FundKeyTransport ReadFundKeyTransport(const Bytes& value) {
  FundKeyTransport t;
  t.encrypted_key = Field(value, 7, 32);
  t.mac = Field(value, 41, 4);
  t.ephemeral_key = Field(value, 98, 64);
  t.ukm = Field(value, 164, 8);
  return t;
}

Bytes FundPublicKeyBlob(const Bytes& holder_key_parameters, const Bytes& ephemeral_key) {
  Bytes blob = csp::BlobHeader(PUBLICKEYBLOB, CALG_GR3410_12_256);
  csp::PutU32(blob, GR3410_1_MAGIC);
  csp::PutU32(blob, kFundPublicKeyBits);
  return blob + holder_key_parameters + ephemeral_key;
}

Bytes FundSimpleBlob(const FundKeyTransport& transport) {
  Bytes blob = csp::BlobHeader(SIMPLEBLOB, CALG_G28147);
  csp::PutU32(blob, G28147_MAGIC);
  csp::PutU32(blob, CALG_G28147);
  return blob + transport.ukm + transport.encrypted_key + transport.mac + Bytes(kCipherParamSet);
}

FundProviderProfile FundProfileFor(std::string_view provider_name) {
  if (provider_name.find("Crypto-Pro") != std::string_view::npos)
    return {KP_ALGID, ISO10126_PADDING, FundDecryption::kPieces};
  if (provider_name.find("Infotecs") != std::string_view::npos)
    return {KP_EXPORT_ALGID, ZERO_PADDING, FundDecryption::kWholeTwoStepFinal};
  return {KP_ALGID, 0, FundDecryption::kWhole};
}

void RemoveFundPadding(Bytes* plain) {
  if (plain->empty()) return;
  const size_t pad = static_cast<unsigned char>(plain->back());
  if (pad == 0 || pad >= 8 || pad > plain->size()) return;
  if (!std::all_of(plain->end() - static_cast<std::ptrdiff_t>(pad), plain->end(),
                   [pad](char c) { return static_cast<unsigned char>(c) == pad; }))
    return;
  plain->resize(plain->size() - pad);
}

}  // namespace zuntar
