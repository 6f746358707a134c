// The base of the message classes: each object does its whole job in its
// constructor (build or parse a CMS message through the platform's message
// calls) and then answers questions about the result. The decoders'
// common part (signer count, signing time) is here too.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "platform/capi/msg/crypt_msg.h"

namespace zuntar {

// n with its low 8 bits cleared, plus 256 (a multiple of 256 grows by 256).
DWORD RoundUpBuffer(DWORD n);

// Output buffers of the platform calls: `call` fills at most *size bytes
// and sets *size to what it wrote, or fails with ERROR_MORE_DATA and the
// size it needs. The first call gets `initial` bytes; a short buffer is
// replaced by one of RoundUpBuffer(needed + 512) bytes and the call made
// once more. Any other failure raises ECryptError for its code.
using BufferCall = std::function<bool(BYTE* buffer, DWORD* size)>;
Bytes CallWithGrowth(DWORD initial, const BufferCall& call);

class TCryptoMessage {
 public:
  TCryptoMessage() = default;
  TCryptoMessage(const TCryptoMessage&) = delete;
  TCryptoMessage& operator=(const TCryptoMessage&) = delete;
  virtual ~TCryptoMessage() = default;

  // The encoded message of a builder; the content of a decoder
  // (CMSG_CONTENT_PARAM), read once and kept.
  const Bytes& Content();
  // The same, handed over: the message has none afterwards.
  Bytes TakeContent();
  // Feeds bytes as the final part of the message.
  void Update(const BYTE* bytes, DWORD length);
  DWORD CertCount();
  // The DER of certificate i of the message.
  Bytes CertBytes(DWORD i);
  // Certificate i of the message, decoded; when the message has no such
  // certificate, the one the look-up hook gives for signer i (or null).
  PCCERT_CONTEXT Certificate(DWORD i);
  // The look-up hook's certificate for the serial number of signer i; null
  // without a hook.
  PCCERT_CONTEXT SignerCertFromHook(DWORD i);

 protected:
  // Size of the first buffer for the content.
  virtual DWORD InitialContentSize() const { return 16384; }
  void SetContent(Bytes content) { content_ = std::move(content); }

  HCRYPTMSG msg_;

 private:
  std::optional<Bytes> content_;
};

// A decoder over a complete encoded message of any type.
class TDecodedCryptoMessage : public TCryptoMessage {
 public:
  TDecodedCryptoMessage(DWORD length, bool detached, const BYTE* bytes);

 protected:
  // For the streamed decoders, which open their own message.
  TDecodedCryptoMessage() = default;
};

// What every signed message answers about its signers.
class TDecodedSignedCryptoMessage : public TDecodedCryptoMessage {
 public:
  TDecodedSignedCryptoMessage(DWORD length, bool detached, const BYTE* bytes);

  DWORD SignerCount();
  // Signer i's signing time in Unix seconds (truncated), 0 when the signer
  // has no authenticated attributes or no readable signing time.
  int64_t SigningTime(DWORD i);
  // Signer i's issuer and serial number.
  CERT_INFO SignerId(DWORD i);
  // Signer i's own certificate: the message's certificate with the signer's
  // issuer and serial number, else the look-up hook's; null when neither
  // has it. Never merely the message's i-th certificate, which may be a
  // CA's.
  PCCERT_CONTEXT SignerCertificate(DWORD i);
  DWORD EncodedLength() const { return encoded_length_; }

 protected:
  TDecodedSignedCryptoMessage() = default;

  DWORD encoded_length_ = 0;
};

}  // namespace zuntar
