// Low-level cryptographic messages: CMS signed and enveloped data (RFC 5652
// with the GOST identifiers) built and read piece by piece.
//
// A message is opened to encode or to decode, fed with CryptMsgUpdate (the
// last piece marked final), questioned with CryptMsgGetParam and acted on with
// CryptMsgControl. With stream information the output leaves through its
// callback as it is produced and nothing grows with the size of the
// content; without it the whole output is kept for CMSG_CONTENT_PARAM.
// Calls return false and set the last error on failure; byte parameters
// follow the size-query rules.
#pragma once

#include "platform/capi/msg/crypt_msg_types.h"

namespace zuntar {

// What every open message answers; the encoder and the decoder implement
// the parts that apply to them and refuse the rest.
class CryptMsg {
 public:
  virtual ~CryptMsg() = default;
  virtual DWORD Update(const BYTE* data, size_t size, bool final) = 0;
  virtual DWORD GetBytes(DWORD param, DWORD index, Bytes* value);
  virtual DWORD GetNumber(DWORD param, DWORD* value);
  virtual DWORD GetCertInfo(DWORD param, DWORD index, CERT_INFO* value);
  virtual DWORD GetAttributes(DWORD param, DWORD index, CRYPT_ATTRIBUTES* value);
  virtual DWORD GetAlgorithm(DWORD param, DWORD index, CRYPT_ALGORITHM_IDENTIFIER* value);
  virtual DWORD VerifySigner(DWORD index, const CERT_PUBLIC_KEY_INFO& key);
  // The index of the signer named by the issuer and serial number.
  virtual DWORD FindSigner(const CERT_INFO& id, DWORD* index);
  virtual DWORD Decrypt(const CMSG_CTRL_DECRYPT_PARA& para);
  virtual DWORD GetRecipient(DWORD index, CMSG_CMS_RECIPIENT_INFO* value);
  virtual DWORD AgreeDecrypt(const CMSG_CTRL_KEY_AGREE_DECRYPT_PARA& para);
};

// Signed messages only (CMSG_SIGNED); flags may carry CMSG_DETACHED_FLAG.
// A null stream keeps the encoded message for CMSG_CONTENT_PARAM. An
// attached message streamed with a declared content length passes each
// piece of the content to the callback as the update gave it (the same
// bytes, not a copy), between the encoding before the content and the
// one after it.
HCRYPTMSG CryptMsgOpenToEncode(DWORD encoding, DWORD flags, DWORD msg_type, const CMSG_SIGNED_ENCODE_INFO& info,
                               const char* inner_content_oid, const CMSG_STREAM_INFO* stream);
// msg_type 0 accepts data, signed and enveloped messages. With
// CMSG_DETACHED_FLAG the updates after the final one of the signature carry
// the signed content.
HCRYPTMSG CryptMsgOpenToDecode(DWORD encoding, DWORD flags, DWORD msg_type, HCRYPTPROV_LEGACY prov,
                               const CERT_INFO* recipient, const CMSG_STREAM_INFO* stream);
bool CryptMsgUpdate(const HCRYPTMSG& msg, const BYTE* data, DWORD size, bool final);
bool CryptMsgClose(HCRYPTMSG& msg);

// Byte parameters: CMSG_CONTENT_PARAM, CMSG_CERT_PARAM, CMSG_CRL_PARAM,
// CMSG_INNER_CONTENT_TYPE_PARAM (OID text), CMSG_COMPUTED_HASH_PARAM; the
// number parameters (types and counts) as a 4-byte little-endian value.
bool CryptMsgGetParam(const HCRYPTMSG& msg, DWORD param, DWORD index, BYTE* data, DWORD* size);
bool CryptMsgGetParam(const HCRYPTMSG& msg, DWORD param, DWORD index, Bytes* value);
bool CryptMsgGetParam(const HCRYPTMSG& msg, DWORD param, DWORD index, DWORD* value);
// CMSG_SIGNER_CERT_INFO_PARAM and CMSG_RECIPIENT_INFO_PARAM: Issuer and
// SerialNumber are set. The legacy recipient parameters (count, info and
// CMSG_CTRL_DECRYPT) see the key-transport recipients only, indexed among
// themselves; the CMS ones see every recipient.
bool CryptMsgGetParam(const HCRYPTMSG& msg, DWORD param, DWORD index, CERT_INFO* value);
// CMSG_SIGNER_AUTH_ATTR_PARAM and CMSG_SIGNER_UNAUTH_ATTR_PARAM;
// CRYPT_E_ATTRIBUTES_MISSING when the signer has none.
bool CryptMsgGetParam(const HCRYPTMSG& msg, DWORD param, DWORD index, CRYPT_ATTRIBUTES* value);
// CMSG_ENVELOPE_ALGORITHM_PARAM (CRYPT_E_STREAM_MSG_NOT_READY until a
// streamed message has shown it) and CMSG_SIGNER_HASH_ALGORITHM_PARAM.
bool CryptMsgGetParam(const HCRYPTMSG& msg, DWORD param, DWORD index, CRYPT_ALGORITHM_IDENTIFIER* value);

// CMSG_CMS_RECIPIENT_INFO_PARAM.
bool CryptMsgGetParam(const HCRYPTMSG& msg, DWORD param, DWORD index, CMSG_CMS_RECIPIENT_INFO* value);

// CMSG_CTRL_VERIFY_SIGNATURE: the signer named by the certificate's issuer
// and serial number, checked with its public key.
bool CryptMsgControl(const HCRYPTMSG& msg, DWORD flags, DWORD ctrl, const CERT_INFO* cert_info);
bool CryptMsgControl(const HCRYPTMSG& msg, DWORD flags, DWORD ctrl, const CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA& para);
// CMSG_CTRL_DECRYPT with the recipient's provider and key spec.
bool CryptMsgControl(const HCRYPTMSG& msg, DWORD flags, DWORD ctrl, const CMSG_CTRL_DECRYPT_PARA& para);
// CMSG_CTRL_KEY_AGREE_DECRYPT: VKO of the recipient's key and the
// originator's, then the CryptoPro (or plain) key unwrap.
bool CryptMsgControl(const HCRYPTMSG& msg, DWORD flags, DWORD ctrl, const CMSG_CTRL_KEY_AGREE_DECRYPT_PARA& para);

}  // namespace zuntar
