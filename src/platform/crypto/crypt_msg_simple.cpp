#include "platform/crypto/crypt_msg_simple.h"

#include <openssl/bio.h>
#include <openssl/cms.h>

#include "platform/crypto/crypt_error.h"
#include "platform/crypto/ossl.h"

namespace zuntar {

namespace {

using CmsPtr = std::unique_ptr<CMS_ContentInfo, ossl::Deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using BioPtr = std::unique_ptr<BIO, ossl::Deleter<BIO, BIO_free_all>>;

struct X509StackFree {
  void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackFree>;

// Feeds the parts, the last one final (an empty final update when none).
bool FeedParts(const HCRYPTMSG& msg, const std::vector<Bytes>& parts) {
  if (parts.empty()) return CryptMsgUpdate(msg, nullptr, 0, true);
  for (size_t i = 0; i < parts.size(); ++i)
    if (!CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(parts[i].data()), static_cast<DWORD>(parts[i].size()),
                        i + 1 == parts.size()))
      return false;
  return true;
}

// Checks signer `index` of a decoded message with the certificate the
// parameters lead to.
bool VerifyDecoded(const CRYPT_VERIFY_MESSAGE_PARA& para, const HCRYPTMSG& msg, DWORD index,
                   PCCERT_CONTEXT* signer_cert) {
  DWORD count = 0;
  if (!CryptMsgGetParam(msg, CMSG_SIGNER_COUNT_PARAM, 0, &count)) return false;
  if (index >= count) return Fail(CRYPT_E_NO_SIGNER);
  CERT_INFO id;
  if (!CryptMsgGetParam(msg, CMSG_SIGNER_CERT_INFO_PARAM, index, &id)) return false;
  HCERTSTORE certs = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, {});
  DWORD cert_count = 0;
  CryptMsgGetParam(msg, CMSG_CERT_COUNT_PARAM, 0, &cert_count);
  for (DWORD i = 0; i < cert_count; ++i) {
    Bytes der;
    if (CryptMsgGetParam(msg, CMSG_CERT_PARAM, i, &der))
      CertAddEncodedCertificateToStore(certs, X509_ASN_ENCODING, der, CERT_STORE_ADD_ALWAYS, nullptr);
  }
  PCCERT_CONTEXT cert;
  if (para.pfnGetSignerCertificate)
    cert = para.pfnGetSignerCertificate(id, certs);
  else if (!id.Issuer.empty())
    cert = CertFindCertificateInStore(certs, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT, &id, nullptr);
  if (cert == nullptr) return Fail(CRYPT_E_NOT_FOUND);
  CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA verify;
  verify.dwSignerIndex = index;
  verify.pvSigner = cert;
  if (!CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, verify)) return false;
  if (signer_cert != nullptr) *signer_cert = cert;
  return true;
}

}  // namespace

bool SignerForCertificate(const PCCERT_CONTEXT& cert, const std::string& hash_oid, CMSG_SIGNER_ENCODE_INFO* signer) {
  if (cert == nullptr) return Fail(E_INVALIDARG);
  HCRYPTPROV prov;
  DWORD spec = 0;
  bool caller_free = false;
  if (!CryptAcquireCertificatePrivateKey(cert, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &prov, &spec, &caller_free))
    return false;
  signer->pCertInfo = &cert->Info();
  signer->hCryptProv = prov;
  signer->dwKeySpec = spec != 0 ? spec : AT_KEYEXCHANGE;
  signer->HashAlgorithm = CRYPT_ALGORITHM_IDENTIFIER{hash_oid, {}};
  return true;
}

bool CryptSignMessage(const CRYPT_SIGN_MESSAGE_PARA& para, bool detached, const std::vector<Bytes>& to_be_signed,
                      Bytes* signed_blob) {
  CMSG_SIGNER_ENCODE_INFO signer;
  if (!SignerForCertificate(para.pSigningCert, para.HashAlgorithm.pszObjId, &signer)) return false;
  signer.rgAuthAttr = para.rgAuthAttr;
  CMSG_SIGNED_ENCODE_INFO info;
  info.rgSigners.push_back(signer);
  for (const PCCERT_CONTEXT& c : para.rgpMsgCert)
    if (c != nullptr) info.rgCertEncoded.push_back(c->Encoded());
  for (const PCCRL_CONTEXT& c : para.rgpMsgCrl)
    if (c != nullptr) info.rgCrlEncoded.push_back(c->Encoded());
  HCRYPTMSG msg = CryptMsgOpenToEncode(para.dwMsgEncodingType, detached ? CMSG_DETACHED_FLAG : 0, CMSG_SIGNED, info,
                                       nullptr, nullptr);
  if (msg == nullptr || !FeedParts(msg, to_be_signed)) return false;
  return CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, signed_blob);
}

bool CryptSignMessage(const CRYPT_SIGN_MESSAGE_PARA& para, bool detached, const std::vector<Bytes>& to_be_signed,
                      BYTE* signed_blob, DWORD* signed_size) {
  if (signed_size == nullptr) return Fail(E_INVALIDARG);
  Bytes encoded;
  if (!CryptSignMessage(para, detached, to_be_signed, &encoded)) return false;
  return CopyOut(encoded, signed_blob, signed_size);
}

bool CryptVerifyMessageSignature(const CRYPT_VERIFY_MESSAGE_PARA& para, DWORD signer_index, const Bytes& signed_blob,
                                 Bytes* decoded, PCCERT_CONTEXT* signer_cert) {
  HCRYPTMSG msg = CryptMsgOpenToDecode(para.dwMsgAndCertEncodingType, 0, CMSG_SIGNED, 0, nullptr, nullptr);
  if (msg == nullptr || !FeedParts(msg, {signed_blob})) return false;
  if (!VerifyDecoded(para, msg, signer_index, signer_cert)) return false;
  if (decoded != nullptr && !CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, decoded)) return false;
  SetLastError(0);
  return true;
}

bool CryptVerifyDetachedMessageSignature(const CRYPT_VERIFY_MESSAGE_PARA& para, DWORD signer_index,
                                         const Bytes& detached_signature, const std::vector<Bytes>& to_be_signed,
                                         PCCERT_CONTEXT* signer_cert) {
  HCRYPTMSG msg =
      CryptMsgOpenToDecode(para.dwMsgAndCertEncodingType, CMSG_DETACHED_FLAG, CMSG_SIGNED, 0, nullptr, nullptr);
  if (msg == nullptr || !FeedParts(msg, {detached_signature}) || !FeedParts(msg, to_be_signed)) return false;
  return VerifyDecoded(para, msg, signer_index, signer_cert);
}

bool CryptEncryptMessage(const CRYPT_ENCRYPT_MESSAGE_PARA& para, const std::vector<PCCERT_CONTEXT>& recipients,
                         const Bytes& data, Bytes* encrypted) {
  if (para.ContentEncryptionAlgorithm.pszObjId != szOID_CP_GOST_28147) return Fail(CRYPT_E_UNKNOWN_ALGO);
  const EVP_CIPHER* cipher = ossl::CipherByName("gost89");
  if (cipher == nullptr) return Fail(CRYPT_E_UNKNOWN_ALGO);
  if (recipients.empty()) return Fail(E_INVALIDARG);
  X509StackPtr certs(sk_X509_new_null());
  for (const PCCERT_CONTEXT& r : recipients) {
    if (r == nullptr) return Fail(E_INVALIDARG);
    X509_up_ref(r->Certificate());
    sk_X509_push(certs.get(), r->Certificate());
  }
  BioPtr in(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
  CmsPtr cms(CMS_encrypt(certs.get(), in.get(), cipher, CMS_BINARY));
  Bytes der = cms != nullptr ? ossl::ToDer(i2d_CMS_ContentInfo, cms.get()) : Bytes();
  ossl::ClearErrors();
  if (der.empty()) return Fail(NTE_BAD_PUBLIC_KEY);
  *encrypted = std::move(der);
  SetLastError(0);
  return true;
}

bool CryptEncryptMessage(const CRYPT_ENCRYPT_MESSAGE_PARA& para, const std::vector<PCCERT_CONTEXT>& recipients,
                         const BYTE* data, DWORD size, BYTE* encrypted, DWORD* encrypted_size) {
  if (encrypted_size == nullptr || (data == nullptr && size != 0)) return Fail(E_INVALIDARG);
  Bytes out;
  if (!CryptEncryptMessage(para, recipients, Bytes(reinterpret_cast<const char*>(data), size), &out)) return false;
  return CopyOut(out, encrypted, encrypted_size);
}

}  // namespace zuntar
