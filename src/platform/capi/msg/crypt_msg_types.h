// Constants and structures of the cryptographic message calls (signed and
// enveloped CMS messages), with the CryptoAPI's names and values.
#pragma once

#include <functional>
#include <vector>

#include "platform/capi/api/crypt_api.h"
#include "platform/capi/cert/cert_context.h"
#include "platform/capi/cert/cert_store.h"
#include "platform/capi/cert/crl_context.h"

namespace zuntar {

// ---- Message types, flags, parameters and controls -------------------------------
constexpr DWORD CMSG_DATA = 1;
constexpr DWORD CMSG_SIGNED = 2;
constexpr DWORD CMSG_ENVELOPED = 3;

constexpr DWORD CMSG_DETACHED_FLAG = 0x00000004;
constexpr DWORD CMSG_INDEFINITE_LENGTH = 0xFFFFFFFF;

constexpr DWORD CMSG_TYPE_PARAM = 1;
constexpr DWORD CMSG_CONTENT_PARAM = 2;
constexpr DWORD CMSG_INNER_CONTENT_TYPE_PARAM = 4;
constexpr DWORD CMSG_SIGNER_COUNT_PARAM = 5;
constexpr DWORD CMSG_SIGNER_CERT_INFO_PARAM = 7;
constexpr DWORD CMSG_SIGNER_HASH_ALGORITHM_PARAM = 8;
constexpr DWORD CMSG_SIGNER_AUTH_ATTR_PARAM = 9;
constexpr DWORD CMSG_SIGNER_UNAUTH_ATTR_PARAM = 10;
constexpr DWORD CMSG_CERT_COUNT_PARAM = 11;
constexpr DWORD CMSG_CERT_PARAM = 12;
constexpr DWORD CMSG_CRL_COUNT_PARAM = 13;
constexpr DWORD CMSG_CRL_PARAM = 14;
constexpr DWORD CMSG_ENVELOPE_ALGORITHM_PARAM = 15;
constexpr DWORD CMSG_RECIPIENT_COUNT_PARAM = 17;
constexpr DWORD CMSG_RECIPIENT_INFO_PARAM = 19;
constexpr DWORD CMSG_COMPUTED_HASH_PARAM = 22;
constexpr DWORD CMSG_CMS_RECIPIENT_COUNT_PARAM = 33;
constexpr DWORD CMSG_CMS_RECIPIENT_INFO_PARAM = 36;

constexpr DWORD CMSG_CTRL_VERIFY_SIGNATURE = 1;
constexpr DWORD CMSG_CTRL_DECRYPT = 2;
constexpr DWORD CMSG_CTRL_KEY_AGREE_DECRYPT = 17;
constexpr DWORD CMSG_CTRL_VERIFY_SIGNATURE_EX = 19;

// Kinds of recipients (CMSG_CMS_RECIPIENT_INFO) and of key-agreement
// originators.
constexpr DWORD CMSG_KEY_TRANS_RECIPIENT = 1;
constexpr DWORD CMSG_KEY_AGREE_RECIPIENT = 2;
constexpr DWORD CMSG_MAIL_LIST_RECIPIENT = 3;
constexpr DWORD CMSG_KEY_AGREE_ORIGINATOR_CERT = 1;
constexpr DWORD CMSG_KEY_AGREE_ORIGINATOR_PUBLIC_KEY = 2;

constexpr DWORD CERT_ID_ISSUER_SERIAL_NUMBER = 1;
constexpr DWORD CERT_ID_KEY_IDENTIFIER = 2;

constexpr DWORD CMSG_VERIFY_SIGNER_PUBKEY = 1;
constexpr DWORD CMSG_VERIFY_SIGNER_CERT = 2;

inline constexpr char szOID_RSA_data[] = "1.2.840.113549.1.7.1";
inline constexpr char szOID_RSA_signedData[] = "1.2.840.113549.1.7.2";
inline constexpr char szOID_RSA_envelopedData[] = "1.2.840.113549.1.7.3";
inline constexpr char szOID_RSA_contentType[] = "1.2.840.113549.1.9.3";
inline constexpr char szOID_RSA_messageDigest[] = "1.2.840.113549.1.9.4";
inline constexpr char szOID_RSA_signingTime[] = "1.2.840.113549.1.9.5";
inline constexpr char szOID_CP_GOST_28147[] = "1.2.643.2.2.21";
inline constexpr char szOID_CP_GOST_R3411[] = "1.2.643.2.2.9";
inline constexpr char szOID_CP_GOST_R3411_12_256[] = "1.2.643.7.1.1.2.2";
inline constexpr char szOID_CP_GOST_R3411_12_512[] = "1.2.643.7.1.1.2.3";

// ---- Structures ------------------------------------------------------------------
struct CRYPT_ATTRIBUTE {
  std::string pszObjId;
  std::vector<Bytes> rgValue;  // DER of each value
};

struct CRYPT_ATTRIBUTES {
  std::vector<CRYPT_ATTRIBUTE> rgAttr;
};

// Output of a streamed message: each piece in order; final marks the last.
// Answering false stops the message with the caller's last error.
using PFN_CMSG_STREAM_OUTPUT = std::function<bool(const BYTE* data, DWORD size, bool final)>;

struct CMSG_STREAM_INFO {
  DWORD cbContent = CMSG_INDEFINITE_LENGTH;
  PFN_CMSG_STREAM_OUTPUT pfnStreamOutput;
};

struct CMSG_SIGNER_ENCODE_INFO {
  const CERT_INFO* pCertInfo = nullptr;
  HCRYPTPROV hCryptProv;
  DWORD dwKeySpec = 0;
  // A hash OID, or a signature OID that names its hash.
  CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
  // Empty: no signed attributes. Otherwise these plus the content type and
  // the message digest that CMS requires.
  std::vector<CRYPT_ATTRIBUTE> rgAuthAttr;
};

struct CMSG_SIGNED_ENCODE_INFO {
  std::vector<CMSG_SIGNER_ENCODE_INFO> rgSigners;
  std::vector<Bytes> rgCertEncoded;
  std::vector<Bytes> rgCrlEncoded;
};

struct CMSG_CTRL_DECRYPT_PARA {
  HCRYPTPROV hCryptProv;
  DWORD dwKeySpec = 0;
  DWORD dwRecipientIndex = 0;
};

// A certificate named by issuer and serial number (least significant byte
// first) or by its key identifier.
struct CERT_ID {
  DWORD dwIdChoice = 0;
  Bytes Issuer;
  Bytes SerialNumber;
  Bytes KeyId;
};

struct CMSG_KEY_TRANS_RECIPIENT_INFO {
  DWORD dwVersion = 0;
  CERT_ID RecipientId;
  CRYPT_ALGORITHM_IDENTIFIER KeyEncryptionAlgorithm;
  Bytes EncryptedKey;
};

struct CMSG_RECIPIENT_ENCRYPTED_KEY_INFO {
  CERT_ID RecipientId;
  Bytes EncryptedKey;
};

struct CMSG_KEY_AGREE_RECIPIENT_INFO {
  DWORD dwVersion = 0;
  DWORD dwOriginatorChoice = 0;
  CERT_ID OriginatorCertId;                        // CMSG_KEY_AGREE_ORIGINATOR_CERT
  CERT_PUBLIC_KEY_INFO OriginatorPublicKeyInfo;    // CMSG_KEY_AGREE_ORIGINATOR_PUBLIC_KEY
  Bytes UserKeyingMaterial;                        // empty when absent
  CRYPT_ALGORITHM_IDENTIFIER KeyEncryptionAlgorithm;
  std::vector<CMSG_RECIPIENT_ENCRYPTED_KEY_INFO> rgRecipientEncryptedKeys;
};

// One recipient of an enveloped message; the member of its kind is set.
// Kinds the layer does not read (password, other) have choice 0.
struct CMSG_CMS_RECIPIENT_INFO {
  DWORD dwRecipientChoice = 0;
  CMSG_KEY_TRANS_RECIPIENT_INFO KeyTrans;
  CMSG_KEY_AGREE_RECIPIENT_INFO KeyAgree;
};

// Decryption for encrypted key `dwRecipientEncryptedKeyIndex` of the
// key-agreement recipient `dwRecipientIndex` (an index among all
// recipients), with the originator's public key (the point's bit string).
struct CMSG_CTRL_KEY_AGREE_DECRYPT_PARA {
  HCRYPTPROV hCryptProv;
  DWORD dwKeySpec = 0;
  DWORD dwRecipientIndex = 0;
  DWORD dwRecipientEncryptedKeyIndex = 0;
  CRYPT_BIT_BLOB OriginatorPublicKey;
};

struct CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA {
  DWORD dwSignerIndex = 0;
  DWORD dwSignerType = CMSG_VERIFY_SIGNER_CERT;
  PCCERT_CONTEXT pvSigner;                       // CMSG_VERIFY_SIGNER_CERT
  const CERT_PUBLIC_KEY_INFO* pvSignerKey = nullptr;  // CMSG_VERIFY_SIGNER_PUBKEY
};

// Which message is open and how: decoders keep their own state.
class CryptMsg;
using HCRYPTMSG = std::shared_ptr<CryptMsg>;

}  // namespace zuntar
