#include "platform/capi/csp/key_blob.h"

#include <string_view>

#include "platform/capi/asn1/ber_reader.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/csp/param_value.h"

namespace zuntar::csp {

Bytes BlobHeader(BYTE type, ALG_ID alg) {
  Bytes out;
  out.push_back(static_cast<char>(type));
  out.push_back(static_cast<char>(CUR_BLOB_VERSION));
  out.append(2, '\0');
  PutU32(out, alg);
  return out;
}

DWORD ParsePublicKeyBlob(const Bytes& blob, ALG_ID* alg, const GostKeyParams** params, Bytes* key_params,
                         Bytes* point) {
  // header(8) magic(4) bit length(4) parameters(DER) point
  if (blob.size() < 18 || blob[0] != PUBLICKEYBLOB || static_cast<unsigned char>(blob[1]) != CUR_BLOB_VERSION ||
      GetU32(blob, 8) != GR3410_1_MAGIC)
    return NTE_BAD_DATA;
  *alg = GetU32(blob, 4);
  *params = KeyParamsForAlgId(*alg);
  const DWORD bits = GetU32(blob, 12);
  if (*params == nullptr) return NTE_BAD_ALGID;
  if (bits != (*params)->bit_length) return NTE_BAD_DATA;
  const size_t params_size = ber::DefiniteElementSize(std::string_view(blob).substr(16));
  if (params_size == 0 || blob[16] != 0x30 || blob.size() != 16 + params_size + bits / 8) return NTE_BAD_DATA;
  *key_params = blob.substr(16, params_size);
  *point = blob.substr(16 + params_size);
  return 0;
}

}  // namespace zuntar::csp
