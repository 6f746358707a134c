// The one-call message functions: sign a buffer, verify an attached or a
// detached signature, encrypt for recipients, each over the low-level
// message calls of crypt_msg.h.
#pragma once

#include <functional>

#include "platform/capi/msg/crypt_msg.h"

namespace zuntar {

struct CRYPT_SIGN_MESSAGE_PARA {
  DWORD dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  PCCERT_CONTEXT pSigningCert;
  // A hash OID or a signature OID naming its hash.
  CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
  std::vector<PCCERT_CONTEXT> rgpMsgCert;
  std::vector<PCCRL_CONTEXT> rgpMsgCrl;
  // Empty: no signed attributes; otherwise these with the content type and
  // the message digest.
  std::vector<CRYPT_ATTRIBUTE> rgAuthAttr;
};

// Answers the signer's certificate for its identifier (issuer and serial
// number set), or null; `message_certs` holds the message's certificates.
using PFN_CRYPT_GET_SIGNER_CERTIFICATE =
    std::function<PCCERT_CONTEXT(const CERT_INFO& signer_id, const HCERTSTORE& message_certs)>;

struct CRYPT_VERIFY_MESSAGE_PARA {
  DWORD dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  HCRYPTPROV_LEGACY hCryptProv = 0;
  // Null: the signer's certificate is looked up among the message's own.
  PFN_CRYPT_GET_SIGNER_CERTIFICATE pfnGetSignerCertificate;
};

struct CRYPT_ENCRYPT_MESSAGE_PARA {
  DWORD dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  HCRYPTPROV_LEGACY hCryptProv = 0;
  CRYPT_ALGORITHM_IDENTIFIER ContentEncryptionAlgorithm;  // "1.2.643.2.2.21"
  DWORD dwFlags = 0;
};

// The signing certificate's key is acquired through its key-provider
// information. Size-query rules for the output.
bool CryptSignMessage(const CRYPT_SIGN_MESSAGE_PARA& para, bool detached, const std::vector<Bytes>& to_be_signed,
                      BYTE* signed_blob, DWORD* signed_size);
bool CryptSignMessage(const CRYPT_SIGN_MESSAGE_PARA& para, bool detached, const std::vector<Bytes>& to_be_signed,
                      Bytes* signed_blob);
// The CryptoAPI's own form: `count` parts given by pointer and size, so a
// large buffer is signed where it lies.
bool CryptSignMessage(const CRYPT_SIGN_MESSAGE_PARA& para, bool detached, DWORD count, const BYTE* const* parts,
                      const DWORD* part_sizes, BYTE* signed_blob, DWORD* signed_size);
// The same into a byte string: a large message is not copied into a
// caller's buffer.
bool CryptSignMessage(const CRYPT_SIGN_MESSAGE_PARA& para, bool detached, DWORD count, const BYTE* const* parts,
                      const DWORD* part_sizes, Bytes* signed_blob);

// Signer `signer_index` of the message. NTE_BAD_SIGNATURE for a wrong
// signature, CRYPT_E_NOT_FOUND when no certificate of the signer is found,
// CRYPT_E_NO_SIGNER for an index beyond the signers. `decoded` and
// `signer_cert` may be null.
bool CryptVerifyMessageSignature(const CRYPT_VERIFY_MESSAGE_PARA& para, DWORD signer_index, const Bytes& signed_blob,
                                 Bytes* decoded, PCCERT_CONTEXT* signer_cert);
bool CryptVerifyDetachedMessageSignature(const CRYPT_VERIFY_MESSAGE_PARA& para, DWORD signer_index,
                                         const Bytes& detached_signature, const std::vector<Bytes>& to_be_signed,
                                         PCCERT_CONTEXT* signer_cert);
// The same with the message and the parts given by pointer and size.
bool CryptVerifyMessageSignature(const CRYPT_VERIFY_MESSAGE_PARA& para, DWORD signer_index, const BYTE* signed_blob,
                                 DWORD signed_size, Bytes* decoded, PCCERT_CONTEXT* signer_cert);
bool CryptVerifyDetachedMessageSignature(const CRYPT_VERIFY_MESSAGE_PARA& para, DWORD signer_index,
                                         const BYTE* detached_signature, DWORD signature_size, DWORD count,
                                         const BYTE* const* parts, const DWORD* part_sizes,
                                         PCCERT_CONTEXT* signer_cert);

// Enveloped data for the recipients in order, GOST 28147-89 content
// encryption and GOST key transport.
bool CryptEncryptMessage(const CRYPT_ENCRYPT_MESSAGE_PARA& para, const std::vector<PCCERT_CONTEXT>& recipients,
                         const BYTE* data, DWORD size, BYTE* encrypted, DWORD* encrypted_size);
bool CryptEncryptMessage(const CRYPT_ENCRYPT_MESSAGE_PARA& para, const std::vector<PCCERT_CONTEXT>& recipients,
                         const Bytes& data, Bytes* encrypted);

// The certificates a decoded message carries, as an in-memory store (what
// CERT_STORE_PROV_MSG opens on Windows).
HCERTSTORE MessageCertificateStore(const HCRYPTMSG& msg);

// The signer information that a signed message needs for a certificate:
// its key acquired (cached with the certificate) and the hash it names.
bool SignerForCertificate(const PCCERT_CONTEXT& cert, const std::string& hash_oid, CMSG_SIGNER_ENCODE_INFO* signer);

}  // namespace zuntar
