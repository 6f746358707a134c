// The decoder of data, signed and enveloped messages.
//
// The message goes through the BER stream parser: small parts (certificates,
// signer and recipient information, algorithms) are collected and parsed,
// the content octets pass through the digests (signed) or the content key
// (enveloped) and on to the output, so a streamed message of any size, of
// definite or indefinite length, is read in constant memory.
#pragma once

#include <map>
#include <optional>
#include <vector>

#include "platform/capi/asn1/ber_stream.h"
#include "platform/capi/base/ossl.h"
#include "platform/capi/msg/crypt_msg.h"

namespace zuntar {

// A signer's information as the message carries it.
struct MsgSigner {
  Bytes issuer;  // DER of the name; empty when the signer is named by key identifier
  Bytes serial;  // little-endian
  Bytes key_id;
  std::string hash_oid;
  Bytes signed_attrs;  // the [0] element as encoded, empty when absent
  std::optional<CRYPT_ATTRIBUTES> auth_attrs;
  std::optional<CRYPT_ATTRIBUTES> unauth_attrs;
  std::string signature_oid;
  Bytes signature;  // as carried: the standard encoding
};

// Parsing of the collected parts (msg_decoder_parts.cpp).
DWORD ParseSignerInfo(std::string_view der, MsgSigner* signer);
DWORD ParseRecipientInfo(std::string_view der, CMSG_CMS_RECIPIENT_INFO* recipient);
DWORD ParseAttributes(std::string_view set_content, CRYPT_ATTRIBUTES* attrs);
DWORD ParseAlgorithm(std::string_view der, CRYPT_ALGORITHM_IDENTIFIER* alg);

class MsgDecoder : public CryptMsg, private ber::StreamHandler {
 public:
  MsgDecoder(DWORD flags, DWORD msg_type, const CMSG_STREAM_INFO* stream);

  DWORD Update(const BYTE* data, size_t size, bool final) override;
  DWORD GetBytes(DWORD param, DWORD index, Bytes* value) override;
  DWORD GetNumber(DWORD param, DWORD* value) override;
  DWORD GetCertInfo(DWORD param, DWORD index, CERT_INFO* value) override;
  DWORD GetAttributes(DWORD param, DWORD index, CRYPT_ATTRIBUTES* value) override;
  DWORD GetAlgorithm(DWORD param, DWORD index, CRYPT_ALGORITHM_IDENTIFIER* value) override;
  DWORD VerifySigner(DWORD index, const CERT_PUBLIC_KEY_INFO& key) override;
  DWORD FindSigner(const CERT_INFO& id, DWORD* index) override;
  DWORD Decrypt(const CMSG_CTRL_DECRYPT_PARA& para) override;
  DWORD GetRecipient(DWORD index, CMSG_CMS_RECIPIENT_INFO* value) override;
  DWORD AgreeDecrypt(const CMSG_CTRL_KEY_AGREE_DECRYPT_PARA& para) override;

 private:
  enum class Role { kContentInfo, kExplicit, kSignedData, kEncap, kEncapExplicit, kOctets, kEnveloped,
                    kEncContentInfo, kEncrypted };
  struct Level {
    Role role;
    int children = 0;
  };

  DWORD OnStart(const ber::Header& header, Mode* mode) override;
  DWORD OnContent(const ber::Header& header, const BYTE* data, size_t size) override;
  DWORD OnEnd(const ber::Header& header) override;
  DWORD OnCollected(const ber::Header& header, Bytes encoding) override;

  DWORD StartIn(const Level& parent, int index, const ber::Header& header, Mode* mode);
  DWORD CollectedIn(const Level& parent, int index, const ber::Header& header, std::string_view der);
  DWORD SetType(std::string_view oid_der);
  DWORD SetDigestAlgorithms(std::string_view set_der);
  DWORD AddCertificates(std::string_view der, std::vector<Bytes>* out);

  // Plain content: through the digests, then to the output. Content kept
  // whole (unstreamed) is hashed only when a digest is asked for, so a
  // message that is decoded and never checked costs no hashing.
  DWORD ContentBytes(const BYTE* data, size_t size);
  DWORD HashKeptContent();
  // Encrypted content: through the content key once there is one.
  DWORD CipherBytes(const BYTE* data, size_t size);
  DWORD Output(const BYTE* data, size_t size, bool final);
  DWORD FinishOutput();
  // Decryption (msg_decrypt.cpp): whether a decrypt control may run now,
  // the index among all recipients of key-transport recipient `index`, and
  // the content key taking over the ciphertext.
  DWORD DecryptReady(const HCRYPTPROV& prov) const;
  DWORD KeyTransIndex(DWORD index, DWORD* all_index) const;
  DWORD StartContent(const HCRYPTKEY& key);
  DWORD ContentParametersOf(const HCRYPTKEY& key);
  DWORD Digest(const std::string& hash_oid, Bytes* digest);
  bool signed_type() const { return type_ == CMSG_SIGNED; }

  DWORD flags_;
  DWORD expected_type_;
  bool streamed_ = false;
  PFN_CMSG_STREAM_OUTPUT output_;
  ber::StreamParser parser_;
  std::vector<Level> levels_;

  DWORD type_ = 0;
  std::string inner_type_;
  std::vector<Bytes> certs_;
  std::vector<Bytes> crls_;
  std::vector<MsgSigner> signers_;
  std::vector<CMSG_CMS_RECIPIENT_INFO> recipients_;
  std::optional<CRYPT_ALGORITHM_IDENTIFIER> envelope_algorithm_;
  std::map<std::string, ossl::MdCtxPtr> digests_;

  bool message_final_ = false;  // the message's own last update came
  bool content_final_ = false;  // detached content's last update came
  bool output_finished_ = false;
  Bytes content_;  // unstreamed content (plaintext once decrypted)
  size_t hashed_ = 0;  // bytes of content_ already through the digests
  Bytes pending_;  // ciphertext that came before the decrypt control
  HCRYPTKEY content_key_;
  bool decrypted_ = false;
};

}  // namespace zuntar
