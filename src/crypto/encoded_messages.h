// Builders of CMS messages held in memory: a signature of one buffer and an
// enveloped message for several recipients. The constructor builds; Content
// is the encoded message.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "crypto/crypt_message.h"
#include "platform/date_time.h"

namespace zuntar {

// The identifier passed as the hash of a signature by the certificate's
// key, chosen by the key's own algorithm (the certificate's signature
// algorithm is its issuer's): "1.2.643.7.1.1.3.2" for a GOST R 34.10-2012
// 256-bit key, "1.2.643.7.1.1.3.3" for a 512-bit one, "1.2.643.2.2.3"
// otherwise. Signature-algorithm OIDs that name their hashes.
std::string SigningHashOid(const PCCERT_CONTEXT& cert);

// Size of the first output buffer of a signature of `length` bytes: 8192
// for a detached one, RoundUpBuffer(length + 8192) for an attached one.
DWORD SignatureBufferSize(DWORD length, bool detached);

class TEncodedSignedMessage : public TCryptoMessage {
 public:
  // The certificate's key signs; the certificate is carried in the message.
  // A signing time that is not 0 (a local date-time) becomes the one
  // authenticated attribute of the program's making, at even seconds, in
  // UTC.
  TEncodedSignedMessage(DWORD length, DateTime signing_time, bool detached, const PCCERT_CONTEXT& cert,
                        const BYTE* data);
};

// The attached signature of `data` as the bytes that go before and after
// it, the data only read: the message is `head`, the data, then `tail`, the
// bytes TEncodedSignedMessage makes of the same data. `head_known`, when
// given, learns the head before the data is read.
void SignAttachedAround(const Bytes& data, DateTime signing_time, const PCCERT_CONTEXT& cert, Bytes& head, Bytes& tail,
                        const std::function<void(const Bytes& head)>& head_known = {});

// The same message made in the data's own buffer, so a large content is
// never copied. When signing fails `data` is left as it was.
void SignAttachedInPlace(Bytes& data, DateTime signing_time, const PCCERT_CONTEXT& cert);

class TEncodedEnvelopedMessage : public TCryptoMessage {
 public:
  // GOST 28147-89 content encryption for the recipients in their order.
  // A null first recipient ("Bad recipient") or data pointer ("bad
  // dataptr") fails an assertion.
  TEncodedEnvelopedMessage(DWORD length, const std::vector<PCCERT_CONTEXT>& recipients, const BYTE* data);
};

}  // namespace zuntar
