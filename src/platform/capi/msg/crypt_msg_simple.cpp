#include "platform/capi/msg/crypt_msg_simple.h"

#include <openssl/bio.h>
#include <openssl/cms.h>

#include <algorithm>

#include "platform/capi/asn1/ber_reader.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/base/ossl.h"
#include "platform/capi/msg/msg_decoder.h"

namespace zuntar {

namespace {

// Feeds the parts, the last one final (an empty final update when none).
bool FeedParts(const HCRYPTMSG& msg, DWORD count, const BYTE* const* parts, const DWORD* sizes) {
  if (count == 0) return CryptMsgUpdate(msg, nullptr, 0, true);
  if (parts == nullptr || sizes == nullptr) return Fail(E_INVALIDARG);
  for (DWORD i = 0; i < count; ++i)
    if (!CryptMsgUpdate(msg, parts[i], sizes[i], i + 1 == count)) return false;
  return true;
}

// Pointers and sizes of byte strings, for the forms above.
struct PartList {
  explicit PartList(const std::vector<Bytes>& parts) {
    for (const Bytes& p : parts) {
      pointers.push_back(reinterpret_cast<const BYTE*>(p.data()));
      sizes.push_back(static_cast<DWORD>(p.size()));
    }
  }
  DWORD count() const { return static_cast<DWORD>(pointers.size()); }
  std::vector<const BYTE*> pointers;
  std::vector<DWORD> sizes;
};

}  // namespace

HCERTSTORE MessageCertificateStore(const HCRYPTMSG& msg) {
  HCERTSTORE certs = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, {});
  DWORD count = 0;
  CryptMsgGetParam(msg, CMSG_CERT_COUNT_PARAM, 0, &count);
  for (DWORD i = 0; i < count; ++i) {
    Bytes der;
    if (CryptMsgGetParam(msg, CMSG_CERT_PARAM, i, &der))
      CertAddEncodedCertificateToStore(certs, X509_ASN_ENCODING, der, CERT_STORE_ADD_ALWAYS, nullptr);
  }
  return certs;
}

namespace {

// Checks signer `index` of a decoded message with the certificate the
// parameters lead to.
bool VerifyDecoded(const CRYPT_VERIFY_MESSAGE_PARA& para, const HCRYPTMSG& msg, DWORD index,
                   PCCERT_CONTEXT* signer_cert) {
  DWORD count = 0;
  if (!CryptMsgGetParam(msg, CMSG_SIGNER_COUNT_PARAM, 0, &count)) return false;
  if (index >= count) return Fail(CRYPT_E_NO_SIGNER);
  CERT_INFO id;
  if (!CryptMsgGetParam(msg, CMSG_SIGNER_CERT_INFO_PARAM, index, &id)) return false;
  HCERTSTORE certs = MessageCertificateStore(msg);
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

// DER sorts the recipient information; the CryptoAPI keeps the caller's
// order, and callers address recipients by index. The elements keep their
// sizes, so the lengths around them stay valid.
bool OrderRecipients(const std::vector<PCCERT_CONTEXT>& recipients, Bytes* der) {
  ber::Element content_info, explicit_content, enveloped, e;
  ber::Reader top(*der);
  if (!top.Expect(ber::kSequence, &content_info)) return false;
  ber::Reader ci(content_info.content);
  if (!ci.Expect(ber::kOid, &e) || !ci.Expect(ber::kContext0, &explicit_content)) return false;
  ber::Reader ex(explicit_content.content);
  if (!ex.Expect(ber::kSequence, &enveloped)) return false;
  ber::Reader env(enveloped.content);
  if (!env.Expect(ber::kInteger, &e)) return false;
  env.Expect(ber::kContext0, &e);  // originator information
  ber::Element set;
  if (!env.Expect(ber::kSet, &set)) return false;
  std::vector<std::pair<size_t, Bytes>> infos;
  ber::Reader r(set.content);
  while (!r.empty()) {
    if (!r.Next(&e)) return false;
    CMSG_CMS_RECIPIENT_INFO parsed;
    if (ParseRecipientInfo(e.whole, &parsed) != 0) return false;
    const CERT_ID& id = parsed.KeyTrans.RecipientId;
    size_t rank = recipients.size();
    for (size_t i = 0; i < recipients.size(); ++i)
      if (id.Issuer == recipients[i]->Info().Issuer && id.SerialNumber == recipients[i]->Info().SerialNumber) {
        rank = i;
        break;
      }
    infos.emplace_back(rank, Bytes(e.whole));
  }
  std::stable_sort(infos.begin(), infos.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  Bytes ordered;
  for (const auto& info : infos) ordered += info.second;
  der->replace(static_cast<size_t>(set.content.data() - der->data()), set.content.size(), ordered);
  return true;
}

}  // namespace

bool SignerForCertificate(const PCCERT_CONTEXT& cert, const std::string& hash_oid, CMSG_SIGNER_ENCODE_INFO* signer) {
  if (cert == nullptr) return Fail(E_INVALIDARG);
  HCRYPTPROV prov;
  DWORD key_spec = 0;
  bool caller_free = false;
  if (!CryptAcquireCertificatePrivateKey(cert, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &prov, &key_spec, &caller_free))
    return false;
  signer->pCertInfo = &cert->Info();
  signer->hCryptProv = prov;
  signer->dwKeySpec = key_spec != 0 ? key_spec : AT_KEYEXCHANGE;
  signer->HashAlgorithm = CRYPT_ALGORITHM_IDENTIFIER{hash_oid, {}};
  return true;
}

namespace {

// The signed message of the parts, whole.
bool SignParts(const CRYPT_SIGN_MESSAGE_PARA& para, bool detached, DWORD count, const BYTE* const* parts,
               const DWORD* sizes, Bytes* signed_blob) {
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
  if (msg == nullptr || !FeedParts(msg, count, parts, sizes)) return false;
  return CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, signed_blob);
}

}  // namespace

bool CryptSignMessage(const CRYPT_SIGN_MESSAGE_PARA& para, bool detached, const std::vector<Bytes>& to_be_signed,
                      Bytes* signed_blob) {
  const PartList parts(to_be_signed);
  return SignParts(para, detached, parts.count(), parts.pointers.data(), parts.sizes.data(), signed_blob);
}

bool CryptSignMessage(const CRYPT_SIGN_MESSAGE_PARA& para, bool detached, DWORD count, const BYTE* const* parts,
                      const DWORD* part_sizes, BYTE* signed_blob, DWORD* signed_size) {
  if (signed_size == nullptr) return Fail(E_INVALIDARG);
  Bytes encoded;
  if (!SignParts(para, detached, count, parts, part_sizes, &encoded)) return false;
  return CopyOut(encoded, signed_blob, signed_size);
}

bool CryptSignMessage(const CRYPT_SIGN_MESSAGE_PARA& para, bool detached, DWORD count, const BYTE* const* parts,
                      const DWORD* part_sizes, Bytes* signed_blob) {
  if (signed_blob == nullptr) return Fail(E_INVALIDARG);
  return SignParts(para, detached, count, parts, part_sizes, signed_blob);
}

bool CryptSignMessage(const CRYPT_SIGN_MESSAGE_PARA& para, bool detached, const std::vector<Bytes>& to_be_signed,
                      BYTE* signed_blob, DWORD* signed_size) {
  const PartList parts(to_be_signed);
  return CryptSignMessage(para, detached, parts.count(), parts.pointers.data(), parts.sizes.data(), signed_blob,
                          signed_size);
}

bool CryptVerifyMessageSignature(const CRYPT_VERIFY_MESSAGE_PARA& para, DWORD signer_index, const BYTE* signed_blob,
                                 DWORD signed_size, Bytes* decoded, PCCERT_CONTEXT* signer_cert) {
  // Without a caller for the content it is hashed as it passes, not kept.
  CMSG_STREAM_INFO discard;
  discard.pfnStreamOutput = [](const BYTE*, DWORD, bool) { return true; };
  HCRYPTMSG msg = CryptMsgOpenToDecode(para.dwMsgAndCertEncodingType, 0, CMSG_SIGNED, 0, nullptr,
                                       decoded == nullptr ? &discard : nullptr);
  if (msg == nullptr || !CryptMsgUpdate(msg, signed_blob, signed_size, true)) return false;
  if (!VerifyDecoded(para, msg, signer_index, signer_cert)) return false;
  if (decoded != nullptr && !CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, decoded)) return false;
  SetLastError(0);
  return true;
}

bool CryptVerifyMessageSignature(const CRYPT_VERIFY_MESSAGE_PARA& para, DWORD signer_index, const Bytes& signed_blob,
                                 Bytes* decoded, PCCERT_CONTEXT* signer_cert) {
  return CryptVerifyMessageSignature(para, signer_index, reinterpret_cast<const BYTE*>(signed_blob.data()),
                                     static_cast<DWORD>(signed_blob.size()), decoded, signer_cert);
}

bool CryptVerifyDetachedMessageSignature(const CRYPT_VERIFY_MESSAGE_PARA& para, DWORD signer_index,
                                         const BYTE* detached_signature, DWORD signature_size, DWORD count,
                                         const BYTE* const* parts, const DWORD* part_sizes,
                                         PCCERT_CONTEXT* signer_cert) {
  HCRYPTMSG msg =
      CryptMsgOpenToDecode(para.dwMsgAndCertEncodingType, CMSG_DETACHED_FLAG, CMSG_SIGNED, 0, nullptr, nullptr);
  if (msg == nullptr || !CryptMsgUpdate(msg, detached_signature, signature_size, true) ||
      !FeedParts(msg, count, parts, part_sizes))
    return false;
  return VerifyDecoded(para, msg, signer_index, signer_cert);
}

bool CryptVerifyDetachedMessageSignature(const CRYPT_VERIFY_MESSAGE_PARA& para, DWORD signer_index,
                                         const Bytes& detached_signature, const std::vector<Bytes>& to_be_signed,
                                         PCCERT_CONTEXT* signer_cert) {
  const PartList parts(to_be_signed);
  return CryptVerifyDetachedMessageSignature(para, signer_index, reinterpret_cast<const BYTE*>(detached_signature.data()),
                                             static_cast<DWORD>(detached_signature.size()), parts.count(),
                                             parts.pointers.data(), parts.sizes.data(), signer_cert);
}

bool CryptEncryptMessage(const CRYPT_ENCRYPT_MESSAGE_PARA& para, const std::vector<PCCERT_CONTEXT>& recipients,
                         const Bytes& data, Bytes* encrypted) {
  if (para.ContentEncryptionAlgorithm.pszObjId != szOID_CP_GOST_28147) return Fail(CRYPT_E_UNKNOWN_ALGO);
  const EVP_CIPHER* cipher = ossl::CipherByName("gost89");
  if (cipher == nullptr) return Fail(CRYPT_E_UNKNOWN_ALGO);
  if (recipients.empty()) return Fail(E_INVALIDARG);
  // Each recipient gets its key context first and learns the content
  // cipher from it: the GOST key transport wraps under that cipher's
  // parameters, and without it the engine refuses the recipient.
  const unsigned flags = CMS_BINARY | CMS_PARTIAL;
  ossl::BioPtr in(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
  ossl::CmsPtr cms(CMS_encrypt(nullptr, in.get(), cipher, flags));
  bool ok = cms != nullptr;
  for (const PCCERT_CONTEXT& r : recipients) {
    if (!ok) break;
    if (r == nullptr) return Fail(E_INVALIDARG);
    CMS_RecipientInfo* ri = CMS_add1_recipient_cert(cms.get(), r->Certificate(), flags | CMS_KEY_PARAM);
    // Keys that need no cipher answer -2 (not supported), which is fine.
    const int rc = ri == nullptr ? 0
                                 : EVP_PKEY_CTX_ctrl(CMS_RecipientInfo_get0_pkey_ctx(ri), -1, -1, EVP_PKEY_CTRL_CIPHER,
                                                     EVP_CIPHER_get_nid(cipher), nullptr);
    ok = rc > 0 || rc == -2;
  }
  ok = ok && CMS_final(cms.get(), in.get(), nullptr, CMS_BINARY) == 1;
  Bytes der = ok ? ossl::ToDer(i2d_CMS_ContentInfo, cms.get()) : Bytes();
  ossl::ClearErrors();
  if (der.empty()) return Fail(NTE_BAD_PUBLIC_KEY);
  if (!OrderRecipients(recipients, &der)) return Fail(CRYPT_E_MSG_ERROR);
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
