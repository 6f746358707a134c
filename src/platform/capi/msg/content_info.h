// The outer ContentInfo of a message (RFC 5652: content type and content)
// decoded the way CryptDecodeObject does with PKCS_CONTENT_INFO, without
// copying the content.
#pragma once

#include <string>
#include <string_view>

#include "platform/capi/base/crypt_types.h"

namespace zuntar {

// The structure type of CryptDecodeObject for a ContentInfo.
inline constexpr char PKCS_CONTENT_INFO[] = "PKCS_CONTENT_INFO";

constexpr DWORD CRYPT_DECODE_NOCOPY_FLAG = 0x1;

struct CRYPT_CONTENT_INFO {
  std::string pszObjId;      // the content type as OID text
  std::string_view Content;  // the whole encoding of the [0] content, empty when absent
};

// Decodes the ContentInfo at the start of the bytes; bytes after it are
// ignored, as the platform's decoder ignores them. Content points into the
// given bytes, so only the no-copy form is offered: without
// CRYPT_DECODE_NOCOPY_FLAG the call fails with E_INVALIDARG. A ContentInfo cut
// short fails with CRYPT_E_ASN1_EOD, a malformed one with
// CRYPT_E_ASN1_BADTAG or CRYPT_E_ASN1_CORRUPT.
bool CryptDecodeObject(DWORD encoding, const char* struct_type, const BYTE* encoded, DWORD encoded_size, DWORD flags,
                       CRYPT_CONTENT_INFO* info);

}  // namespace zuntar
