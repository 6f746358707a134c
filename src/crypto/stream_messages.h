// Streamed CMS messages: signing, decryption and signature checks that
// move the data in chunks of kStreamChunk bytes through one buffer, so
// inputs of any size take constant memory. Input streams are read from
// their start; the constructors do all the work.
#pragma once

#include "crypto/crypt_message.h"
#include "crypto/streams.h"

namespace zuntar {

constexpr DWORD kStreamChunk = 16384;

// Signs the input stream into the output stream with the certificate's key
// (the certificate travels in the message; no signing time).
class TEncodedStreamSignedMessage : public TCryptoMessage {
 public:
  TEncodedStreamSignedMessage(TStream& input, bool detached, const PCCERT_CONTEXT& cert, TStream& output);
};

// Decrypts an enveloped message for the certificate (the recipient with its
// issuer and serial number, else the first) into the output stream.
class TDecodedStreamEnvelopedMessage : public TDecodedCryptoMessage {
 public:
  TDecodedStreamEnvelopedMessage(TStream& input, const PCCERT_CONTEXT& cert, TStream& output);

 private:
  // Starts the decryption once the message has shown its content
  // algorithm; false while it has not.
  bool StartDecryption(const HCRYPTPROV& prov, DWORD key_spec, const PCCERT_CONTEXT& cert);
};

// Reads a detached signature and then the data it signs; the checks come
// afterwards.
class TDecodedStreamDetachedSignature : public TDecodedSignedCryptoMessage {
 public:
  TDecodedStreamDetachedSignature(TStream& data, TStream& signature);
  // Checks the signer that Certificate(i) names with that certificate's
  // key: true for a good signature, false otherwise. No certificate raises.
  bool VerifyWithCertificate(DWORD i);
  // Checks signer i with its own certificate (SignerCertificate): true for
  // a good signature, false with the reason in the last error. No
  // certificate raises.
  bool VerifySigner(DWORD i);
};

// Reads an attached signature, writing its content to `content` when given.
class TDecodedStreamSignature : public TDecodedSignedCryptoMessage {
 public:
  TDecodedStreamSignature(TStream& stream, TStream* content);
  bool VerifyWithCertificate(DWORD i);
  bool VerifySigner(DWORD i);
};

}  // namespace zuntar
