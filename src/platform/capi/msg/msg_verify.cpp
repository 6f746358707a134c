// Signature checks of a decoded signed message.
#include "platform/capi/asn1/ber_reader.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/gost/gost_key_material.h"
#include "platform/capi/msg/msg_algorithms.h"
#include "platform/capi/msg/msg_decoder.h"

namespace zuntar {

namespace {

bool DigestOfBytes(const EVP_MD* md, const Bytes& data, Bytes* digest) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), out, &len, md, nullptr) != 1) return false;
  digest->assign(reinterpret_cast<const char*>(out), len);
  return true;
}

// The message-digest attribute's value; false when absent or malformed.
bool MessageDigestAttribute(const CRYPT_ATTRIBUTES& attrs, Bytes* value) {
  for (const CRYPT_ATTRIBUTE& a : attrs.rgAttr) {
    if (a.pszObjId != szOID_RSA_messageDigest || a.rgValue.size() != 1) continue;
    ber::Reader r(a.rgValue[0]);
    ber::Element e;
    if (!r.Expect(ber::kOctetString, &e)) return false;
    *value = Bytes(e.content);
    return true;
  }
  return false;
}

}  // namespace

DWORD MsgDecoder::Digest(const std::string& hash_oid, Bytes* digest) {
  const auto it = digests_.find(hash_oid);
  if (it == digests_.end()) return CRYPT_E_UNKNOWN_ALGO;
  if (DWORD rc = HashKeptContent()) return rc;
  // A copy is finished so that every signer (and every later check) sees
  // the same state.
  ossl::MdCtxPtr copy(EVP_MD_CTX_new());
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (copy == nullptr || EVP_MD_CTX_copy_ex(copy.get(), it->second.get()) != 1 ||
      EVP_DigestFinal_ex(copy.get(), out, &len) != 1)
    return NTE_BAD_HASH;
  digest->assign(reinterpret_cast<const char*>(out), len);
  return 0;
}

DWORD MsgDecoder::VerifySigner(DWORD index, const CERT_PUBLIC_KEY_INFO& key) {
  if (!signed_type()) return CRYPT_E_INVALID_MSG_TYPE;
  if (!message_final_) return CRYPT_E_STREAM_MSG_NOT_READY;
  if (index >= signers_.size()) return CRYPT_E_INVALID_INDEX;
  const MsgSigner& signer = signers_[index];
  const MsgHashAlgorithm* hash = HashForOid(signer.hash_oid);
  if (hash == nullptr) return CRYPT_E_UNKNOWN_ALGO;
  Bytes digest;
  if (DWORD rc = Digest(hash->hash_oid, &digest)) return rc;
  ossl::PKeyPtr pkey = PublicKeyFromInfo(key);
  if (pkey == nullptr) return NTE_BAD_PUBLIC_KEY;
  if (!signer.signed_attrs.empty()) {
    // A content that does not match its digest attribute is as wrong as a
    // wrong signature: callers treat both as a broken signature.
    Bytes attribute;
    if (!MessageDigestAttribute(*signer.auth_attrs, &attribute) || attribute != digest) return NTE_BAD_SIGNATURE;
    Bytes attrs = signer.signed_attrs;
    attrs[0] = static_cast<char>(ber::kSet);  // signed as a SET OF, carried as [0]
    if (!DigestOfBytes(DigestOf(*hash), attrs, &digest)) return NTE_BAD_HASH;
  }
  const Bytes reversed(signer.signature.rbegin(), signer.signature.rend());
  return VerifyDigest(pkey.get(), digest, reversed) ? 0 : NTE_BAD_SIGNATURE;
}

DWORD MsgDecoder::FindSigner(const CERT_INFO& id, DWORD* index) {
  if (!signed_type()) return CRYPT_E_INVALID_MSG_TYPE;
  for (size_t i = 0; i < signers_.size(); ++i) {
    if (!signers_[i].issuer.empty() && CertCompareCertificateName(X509_ASN_ENCODING, signers_[i].issuer, id.Issuer) &&
        CertCompareIntegerBlob(signers_[i].serial, id.SerialNumber)) {
      *index = static_cast<DWORD>(i);
      return 0;
    }
  }
  return CRYPT_E_SIGNER_NOT_FOUND;
}

}  // namespace zuntar
