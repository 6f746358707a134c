// Raw GOST signatures and hashes through the provider's hash-and-sign
// calls, outside any CMS structure: a signature of data with the signer's
// public-key blob, a signature of a given hash value, and a hash.
#pragma once

#include "platform/capi/api/crypt_api.h"

namespace zuntar {

// Signature of the GOST R 34.11-2012 (256-bit) hash of the data by the
// certificate's key, in the provider's byte order, and the certificate's
// public key as the provider exports it (PUBLICKEYBLOB).
class TCPLowLevelEncodedSignedMsg {
 public:
  TCPLowLevelEncodedSignedMsg(const PCCERT_CONTEXT& cert, DWORD length, const BYTE* data);
  Bytes Signature;
  Bytes PublicKeyBlob;
};

// Signature of a hash value given as bytes (their length is not checked),
// taken as a GOST R 34.11-2012 (256-bit) hash.
class TCPLowLevelEncodedSignedHashMsg {
 public:
  TCPLowLevelEncodedSignedHashMsg(const PCCERT_CONTEXT& cert, const Bytes& hash_value);
  Bytes Signature;
};

// GOST R 34.11-2012 (256-bit) hash of the data (32 bytes), made by a
// provider of type 75, or of type 2 when there is none.
class TCPHashMsg {
 public:
  TCPHashMsg(DWORD length, const BYTE* data);
  Bytes HashValue;
};

}  // namespace zuntar
