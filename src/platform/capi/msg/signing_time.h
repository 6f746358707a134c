// The signing-time attribute value (1.2.840.113549.1.9.5): a FILETIME as
// UTCTime for the years 1950 to 2049 and as GeneralizedTime outside them,
// the way CMS wants it, and back from either form.
#pragma once

#include "platform/capi/base/crypt_types.h"

namespace zuntar {

// False for times before 0001-01-01 or after 9999-12-31. Fractions of a
// second are dropped.
bool EncodeSigningTime(FILETIME time, Bytes* der);
// Accepts UTCTime and GeneralizedTime in UTC ("Z"), with or without
// seconds, and a GeneralizedTime fraction.
bool DecodeSigningTime(const Bytes& der, FILETIME* time);

// The CryptoAPI calls for this one structure type (szOID_RSA_signingTime):
// the encoding follows the size-query rules; other types fail with
// CRYPT_E_BAD_ENCODE (encoding) or CRYPT_E_ASN1_BADTAG (decoding).
bool CryptEncodeObject(DWORD encoding, const char* struct_type, const FILETIME& time, BYTE* encoded, DWORD* size);
bool CryptDecodeObject(DWORD encoding, const char* struct_type, const BYTE* encoded, DWORD encoded_size, DWORD flags,
                       FILETIME* time);

}  // namespace zuntar
