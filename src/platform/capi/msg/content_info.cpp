#include "platform/capi/msg/content_info.h"

#include <cstring>

#include "platform/capi/asn1/ber_reader.h"
#include "platform/capi/base/error_codes.h"

namespace zuntar {

bool CryptDecodeObject(DWORD /*encoding*/, const char* struct_type, const BYTE* encoded, DWORD encoded_size,
                       DWORD flags, CRYPT_CONTENT_INFO* info) {
  if (struct_type == nullptr || std::strcmp(struct_type, PKCS_CONTENT_INFO) != 0) return Fail(CRYPT_E_ASN1_BADTAG);
  if (info == nullptr || (flags & CRYPT_DECODE_NOCOPY_FLAG) == 0) return Fail(E_INVALIDARG);
  if (encoded == nullptr && encoded_size != 0) return Fail(ERROR_INVALID_PARAMETER);
  const std::string_view input(reinterpret_cast<const char*>(encoded), encoded_size);
  if (input.empty() || static_cast<BYTE>(input[0]) != ber::kSequence) return Fail(CRYPT_E_ASN1_BADTAG);
  const size_t size = ber::ElementSize(input);
  if (size == 0) return Fail(CRYPT_E_ASN1_EOD);
  ber::Reader outer(input.substr(0, size));
  ber::Element sequence, type, explicit_content;
  if (!outer.Expect(ber::kSequence, &sequence)) return Fail(CRYPT_E_ASN1_CORRUPT);
  ber::Reader fields(sequence.content);
  if (!fields.Expect(ber::kOid, &type)) return Fail(CRYPT_E_ASN1_BADTAG);
  std::string oid = ber::OidFromContent(type.content);
  if (oid.empty()) return Fail(CRYPT_E_ASN1_CORRUPT);
  std::string_view content;
  if (!fields.empty()) {
    if (!fields.Expect(ber::kContext0, &explicit_content)) return Fail(CRYPT_E_ASN1_BADTAG);
    ber::Reader inner(explicit_content.content);
    ber::Element element;
    if (!inner.Next(&element) || !inner.empty()) return Fail(CRYPT_E_ASN1_CORRUPT);
    content = element.whole;
  }
  if (!fields.empty()) return Fail(CRYPT_E_ASN1_CORRUPT);
  info->pszObjId = std::move(oid);
  info->Content = content;
  return true;
}

}  // namespace zuntar
