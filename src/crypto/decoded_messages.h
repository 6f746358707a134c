// Decoders of complete CMS messages held in memory: attached and detached
// signatures with their checks, and enveloped messages with their
// recipients and decryption.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "crypto/crypt_message.h"
#include "platform/capi/cert/cert_store.h"
#include "platform/capi/msg/envelope_recipients.h"

namespace zuntar {

// Signature checks answer true for a good signature and false for a bad
// one; any other failure raises ECryptError. A signer whose certificate the
// message lacks is looked up through the look-up hook.
class TDecodedSignedMessage : public TDecodedSignedCryptoMessage {
 public:
  TDecodedSignedMessage(DWORD length, const BYTE* bytes);
  explicit TDecodedSignedMessage(const Bytes& bytes);
  bool VerifySigner(DWORD i);

 protected:
  DWORD InitialContentSize() const override { return static_cast<DWORD>(encoded_.size()); }

 private:
  Bytes encoded_;  // the message as given, which the checks read again
};

class TDecodedDetachedSignature : public TDecodedSignedCryptoMessage {
 public:
  TDecodedDetachedSignature(DWORD length, const BYTE* bytes);
  explicit TDecodedDetachedSignature(const Bytes& bytes);
  bool VerifyDetachedSigner(DWORD i, DWORD data_length, const BYTE* data);

 private:
  Bytes encoded_;
};

// The recipients are the message's key-transport recipients and the
// encrypted keys of its key-agreement recipients, in the message's order.
class TDecodedEnvelopedMessage : public TDecodedCryptoMessage {
 public:
  TDecodedEnvelopedMessage(DWORD length, const BYTE* bytes);
  explicit TDecodedEnvelopedMessage(const Bytes& bytes);

  DWORD RecipientCount();
  // Recipient i's serial number in the grouped form.
  std::string RecipientSerial(DWORD i);
  // "SN: " + grouped serial + ", Издатель: " + issuer name (X.500 form); the
  // bare serial when the recipient is named without an issuer.
  std::string RecipientDescription(DWORD i);
  // The first certificate of the store issued to recipient i whose private
  // key can be acquired; null when none.
  PCCERT_CONTEXT FindRecipientCert(DWORD i, const HCERTSTORE& store);

  // Decrypts for the recipients whose serial number is the certificate's
  // (the only recipient when there is at most one); afterwards Content is
  // the plaintext. A failure for every candidate raises Exception
  // "Ошибка при расшифровке криптографического сообщения:" with the last
  // code and its text.
  void DecryptFor(const PCCERT_CONTEXT& cert);
  // Decrypts for recipient i with the certificate's key.
  void DecryptRecipient(DWORD i, const PCCERT_CONTEXT& cert);
  DWORD EncodedLength() const { return encoded_length_; }

 protected:
  DWORD InitialContentSize() const override { return encoded_length_; }

 private:
  const EnvelopeRecipient& Recipient(DWORD i);
  CERT_INFO RecipientId(DWORD i) { return Recipient(i).id; }

  DWORD encoded_length_;
  std::optional<std::vector<EnvelopeRecipient>> recipients_;
};

}  // namespace zuntar
