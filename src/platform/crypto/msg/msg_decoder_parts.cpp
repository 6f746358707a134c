// The small parts of a message, parsed once the stream parser has collected
// them: signer information, recipient information, attributes, algorithms.
#include "platform/crypto/asn1/ber_reader.h"
#include "platform/crypto/base/crypt_error.h"
#include "platform/crypto/msg/msg_decoder.h"

namespace zuntar {

namespace {

// IssuerAndSerialNumber, or a [0] key identifier.
bool ParseIdentifier(ber::Reader* r, Bytes* issuer, Bytes* serial, Bytes* key_id) {
  ber::Element e;
  if (r->Expect(ber::kImplicit0, &e)) {
    *key_id = Bytes(e.content);
    return true;
  }
  if (!r->Expect(ber::kSequence, &e)) return false;
  ber::Reader inner(e.content);
  ber::Element name, number;
  if (!inner.Expect(ber::kSequence, &name) || !inner.Expect(ber::kInteger, &number)) return false;
  *issuer = Bytes(name.whole);
  *serial = ber::IntegerBlob(number.content);
  return true;
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

DWORD ParseRecipientInfo(std::string_view der, MsgRecipient* recipient) {
  ber::Reader outer(der);
  ber::Element seq, version, key, alg;
  // Only key transport (a plain SEQUENCE) is read; other kinds stay empty.
  if (!outer.Expect(ber::kSequence, &seq)) return 0;
  ber::Reader r(seq.content);
  Bytes key_id;
  if (!r.Expect(ber::kInteger, &version) ||
      !ParseIdentifier(&r, &recipient->issuer, &recipient->serial, &key_id) || !r.Expect(ber::kSequence, &alg) ||
      !r.Expect(ber::kOctetString, &key))
    return CRYPT_E_ASN1_CORRUPT;
  if (DWORD rc = ParseAlgorithm(alg.whole, &recipient->key_algorithm)) return rc;
  recipient->encrypted_key = Bytes(key.content);
  return 0;
}

}  // namespace zuntar
