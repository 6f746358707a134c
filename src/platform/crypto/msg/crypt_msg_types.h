// Constants and structures of the cryptographic message calls (signed and
// enveloped CMS messages), with the CryptoAPI's names and values.
#pragma once

#include <functional>
#include <vector>

#include "platform/crypto/api/crypt_api.h"
#include "platform/crypto/cert/cert_context.h"
#include "platform/crypto/cert/cert_store.h"
#include "platform/crypto/cert/crl_context.h"

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

constexpr DWORD CMSG_CTRL_VERIFY_SIGNATURE = 1;
constexpr DWORD CMSG_CTRL_DECRYPT = 2;
constexpr DWORD CMSG_CTRL_VERIFY_SIGNATURE_EX = 19;

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
