// The small parts of a message, parsed once the stream parser has collected
// them: signer information, recipient information, attributes, algorithms.
#include "platform/capi/asn1/ber_reader.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/msg/msg_decoder.h"

namespace zuntar {

namespace {

// IssuerAndSerialNumber, or a key identifier under `key_id_tag`.
bool ParseCertId(ber::Reader* r, BYTE key_id_tag, CERT_ID* id) {
  ber::Element e;
  if (r->Expect(key_id_tag, &e)) {
    id->dwIdChoice = CERT_ID_KEY_IDENTIFIER;
    id->KeyId = Bytes(e.content);
    return true;
  }
  if (!r->Expect(ber::kSequence, &e)) return false;
  ber::Reader inner(e.content);
  ber::Element name, number;
  if (!inner.Expect(ber::kSequence, &name) || !inner.Expect(ber::kInteger, &number)) return false;
  id->dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
  id->Issuer = Bytes(name.whole);
  id->SerialNumber = ber::IntegerBlob(number.content);
  return true;
}

bool ParseIdentifier(ber::Reader* r, Bytes* issuer, Bytes* serial, Bytes* key_id) {
  CERT_ID id;
  if (!ParseCertId(r, ber::kImplicit0, &id)) return false;
  *issuer = std::move(id.Issuer);
  *serial = std::move(id.SerialNumber);
  *key_id = std::move(id.KeyId);
  return true;
}

bool ParseVersion(ber::Reader* r, DWORD* version) {
  ber::Element e;
  if (!r->Expect(ber::kInteger, &e) || e.content.size() != 1) return false;
  *version = static_cast<unsigned char>(e.content[0]);
  return true;
}

DWORD ParseKeyTrans(std::string_view content, CMSG_KEY_TRANS_RECIPIENT_INFO* info) {
  ber::Reader r(content);
  ber::Element alg, key;
  if (!ParseVersion(&r, &info->dwVersion) || !ParseCertId(&r, ber::kImplicit0, &info->RecipientId) ||
      !r.Expect(ber::kSequence, &alg) || !r.Expect(ber::kOctetString, &key))
    return CRYPT_E_ASN1_CORRUPT;
  if (DWORD rc = ParseAlgorithm(alg.whole, &info->KeyEncryptionAlgorithm)) return rc;
  info->EncryptedKey = Bytes(key.content);
  return 0;
}

// OriginatorIdentifierOrKey: a certificate, or [1] the originator's key.
bool ParseOriginator(std::string_view content, CMSG_KEY_AGREE_RECIPIENT_INFO* info) {
  ber::Reader r(content);
  ber::Element key, alg, bits;
  if (r.Expect(ber::kContext1, &key)) {
    ber::Reader k(key.content);
    if (!k.Expect(ber::kSequence, &alg) || !k.Expect(ber::kBitString, &bits) || bits.content.empty() || !k.empty())
      return false;
    if (ParseAlgorithm(alg.whole, &info->OriginatorPublicKeyInfo.Algorithm) != 0) return false;
    info->dwOriginatorChoice = CMSG_KEY_AGREE_ORIGINATOR_PUBLIC_KEY;
    info->OriginatorPublicKeyInfo.PublicKey.cUnusedBits = static_cast<BYTE>(bits.content[0]);
    info->OriginatorPublicKeyInfo.PublicKey.pbData = Bytes(bits.content.substr(1));
    return r.empty();
  }
  info->dwOriginatorChoice = CMSG_KEY_AGREE_ORIGINATOR_CERT;
  return ParseCertId(&r, ber::kImplicit0, &info->OriginatorCertId) && r.empty();
}

DWORD ParseKeyAgree(std::string_view content, CMSG_KEY_AGREE_RECIPIENT_INFO* info) {
  ber::Reader r(content);
  ber::Element originator, ukm, alg, keys;
  if (!ParseVersion(&r, &info->dwVersion) || !r.Expect(ber::kContext0, &originator) ||
      !ParseOriginator(originator.content, info))
    return CRYPT_E_ASN1_CORRUPT;
  if (r.Expect(ber::kContext1, &ukm)) {
    ber::Reader u(ukm.content);
    ber::Element octets;
    if (!u.Expect(ber::kOctetString, &octets) || !u.empty()) return CRYPT_E_ASN1_CORRUPT;
    info->UserKeyingMaterial = Bytes(octets.content);
  }
  if (!r.Expect(ber::kSequence, &alg) || !r.Expect(ber::kSequence, &keys) || !r.empty()) return CRYPT_E_ASN1_CORRUPT;
  if (DWORD rc = ParseAlgorithm(alg.whole, &info->KeyEncryptionAlgorithm)) return rc;
  ber::Reader k(keys.content);
  while (!k.empty()) {
    ber::Element one, key;
    if (!k.Expect(ber::kSequence, &one)) return CRYPT_E_ASN1_CORRUPT;
    ber::Reader e(one.content);
    CMSG_RECIPIENT_ENCRYPTED_KEY_INFO encrypted;
    // rKeyId [0] is a SEQUENCE of its own: its first element is the key id.
    ber::Element rkey;
    if (e.Expect(ber::kContext0, &rkey)) {
      ber::Reader id(rkey.content);
      ber::Element key_id;
      if (!id.Expect(ber::kOctetString, &key_id)) return CRYPT_E_ASN1_CORRUPT;
      encrypted.RecipientId.dwIdChoice = CERT_ID_KEY_IDENTIFIER;
      encrypted.RecipientId.KeyId = Bytes(key_id.content);
    } else if (!ParseCertId(&e, ber::kImplicit0, &encrypted.RecipientId)) {
      return CRYPT_E_ASN1_CORRUPT;
    }
    if (!e.Expect(ber::kOctetString, &key) || !e.empty()) return CRYPT_E_ASN1_CORRUPT;
    encrypted.EncryptedKey = Bytes(key.content);
    info->rgRecipientEncryptedKeys.push_back(std::move(encrypted));
  }
  return 0;
}

bool AlgorithmOid(ber::Reader* r, std::string* oid) {
  ber::Element e, o;
  if (!r->Expect(ber::kSequence, &e)) return false;
  ber::Reader inner(e.content);
  if (!inner.Expect(ber::kOid, &o)) return false;
  *oid = ber::OidFromContent(o.content);
  return !oid->empty();
}

}  // namespace

DWORD ParseAlgorithm(std::string_view der, CRYPT_ALGORITHM_IDENTIFIER* alg) {
  ber::Reader r(der);
  ber::Element seq, oid, params;
  if (!r.Expect(ber::kSequence, &seq)) return CRYPT_E_ASN1_BADTAG;
  ber::Reader inner(seq.content);
  if (!inner.Expect(ber::kOid, &oid)) return CRYPT_E_ASN1_BADTAG;
  alg->pszObjId = ber::OidFromContent(oid.content);
  if (alg->pszObjId.empty()) return CRYPT_E_ASN1_CORRUPT;
  alg->Parameters.clear();
  if (!inner.empty()) {
    if (!inner.Next(&params)) return CRYPT_E_ASN1_CORRUPT;
    alg->Parameters = Bytes(params.whole);
  }
  return 0;
}

DWORD ParseAttributes(std::string_view set_content, CRYPT_ATTRIBUTES* attrs) {
  attrs->rgAttr.clear();
  ber::Reader r(set_content);
  while (!r.empty()) {
    ber::Element seq, oid, values, value;
    if (!r.Expect(ber::kSequence, &seq)) return CRYPT_E_ASN1_CORRUPT;
    ber::Reader inner(seq.content);
    if (!inner.Expect(ber::kOid, &oid) || !inner.Expect(ber::kSet, &values)) return CRYPT_E_ASN1_CORRUPT;
    CRYPT_ATTRIBUTE attr;
    attr.pszObjId = ber::OidFromContent(oid.content);
    if (attr.pszObjId.empty()) return CRYPT_E_ASN1_CORRUPT;
    ber::Reader vr(values.content);
    while (!vr.empty()) {
      if (!vr.Next(&value)) return CRYPT_E_ASN1_CORRUPT;
      attr.rgValue.emplace_back(value.whole);
    }
    attrs->rgAttr.push_back(std::move(attr));
  }
  return 0;
}

DWORD ParseSignerInfo(std::string_view der, MsgSigner* signer) {
  ber::Reader outer(der);
  ber::Element seq, version, e;
  if (!outer.Expect(ber::kSequence, &seq)) return CRYPT_E_ASN1_BADTAG;
  ber::Reader r(seq.content);
  if (!r.Expect(ber::kInteger, &version)) return CRYPT_E_ASN1_CORRUPT;
  if (!ParseIdentifier(&r, &signer->issuer, &signer->serial, &signer->key_id)) return CRYPT_E_ASN1_CORRUPT;
  if (!AlgorithmOid(&r, &signer->hash_oid)) return CRYPT_E_ASN1_CORRUPT;
  if (r.Expect(ber::kContext0, &e)) {
    signer->signed_attrs = Bytes(e.whole);
    CRYPT_ATTRIBUTES attrs;
    if (DWORD rc = ParseAttributes(e.content, &attrs)) return rc;
    signer->auth_attrs = std::move(attrs);
  }
  if (!AlgorithmOid(&r, &signer->signature_oid)) return CRYPT_E_ASN1_CORRUPT;
  if (!r.Expect(ber::kOctetString, &e)) return CRYPT_E_ASN1_CORRUPT;
  signer->signature = Bytes(e.content);
  if (r.Expect(ber::kContext1, &e)) {
    CRYPT_ATTRIBUTES attrs;
    if (DWORD rc = ParseAttributes(e.content, &attrs)) return rc;
    signer->unauth_attrs = std::move(attrs);
  }
  return r.empty() ? 0 : CRYPT_E_ASN1_CORRUPT;
}

DWORD ParseRecipientInfo(std::string_view der, CMSG_CMS_RECIPIENT_INFO* recipient) {
  ber::Reader outer(der);
  ber::Element e;
  // Key transport is a plain SEQUENCE, key agreement [1]; the other kinds
  // are counted but not read.
  if (outer.Expect(ber::kSequence, &e)) {
    recipient->dwRecipientChoice = CMSG_KEY_TRANS_RECIPIENT;
    return ParseKeyTrans(e.content, &recipient->KeyTrans);
  }
  if (outer.Expect(ber::kContext1, &e)) {
    recipient->dwRecipientChoice = CMSG_KEY_AGREE_RECIPIENT;
    return ParseKeyAgree(e.content, &recipient->KeyAgree);
  }
  return 0;
}

}  // namespace zuntar
