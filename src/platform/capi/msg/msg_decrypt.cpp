// Decryption of an enveloped message for one recipient. Both GOST forms
// end the same way: the sender's public key (the ephemeral key of a key
// transport, the originator's key of a key agreement) is agreed with the
// recipient's own key (VKO), the agreed key unwraps the content key, and
// the content is decrypted as it passes. Every length and point taken from
// the message is checked here before the provider sees it.
#include <string_view>

#include "platform/capi/asn1/ber_reader.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/gost/gost28147.h"
#include "platform/capi/gost/gost_key_material.h"
#include "platform/capi/gost/gost_params.h"
#include "platform/capi/msg/msg_decoder.h"

namespace zuntar {

namespace {

constexpr char kCryptoProWrap[] = "1.2.643.2.2.13.1";
constexpr char kPlainWrap[] = "1.2.643.2.2.13.0";
constexpr char kDefaultWrapParamSet[] = "1.2.643.2.2.31.1";  // CryptoPro A

// Agreement algorithms of GOST key-agreement recipients: VKO of GOST R
// 34.10-2001 (the key's own OID or the ESDH one) and of GOST R 34.10-2012.
constexpr const char* kAgreementOids[] = {"1.2.643.2.2.19",     "1.2.643.2.2.98",     "1.2.643.7.1.1.6.1",
                                          "1.2.643.7.1.1.6.2",  "1.2.643.7.1.1.1.1",  "1.2.643.7.1.1.1.2"};

Bytes Dword(DWORD v) {
  Bytes out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

// A wrapped content key and what unwraps it.
struct WrappedKey {
  Bytes sender_blob;  // public-key blob of the sender's key
  Bytes ukm;
  Bytes encrypted_key;
  Bytes mac;
  std::string paramset;  // of the key wrap
  ALG_ID export_alg = CALG_PRO_EXPORT;
};

// Gost28147-89-EncryptedKey: the wrapped key, its MAC. A masked key is not
// a form the GOST CMS profiles use.
bool ParseEncryptedKey(std::string_view der, WrappedKey* wk) {
  ber::Reader outer(der);
  ber::Element seq, key, mac;
  if (!outer.Expect(ber::kSequence, &seq) || !outer.empty()) return false;
  ber::Reader s(seq.content);
  if (!s.Expect(ber::kOctetString, &key) || !s.Expect(ber::kOctetString, &mac) || !s.empty()) return false;
  wk->encrypted_key = Bytes(key.content);
  wk->mac = Bytes(mac.content);
  return wk->encrypted_key.size() == gost28147::kKeySize && wk->mac.size() == 4;
}

const GostKeyParams* ParamsForKeyOid(const std::string& oid) {
  for (GostKeyKind kind : {GostKeyKind::k2001, GostKeyKind::k2012_256, GostKeyKind::k2012_512})
    if (oid == DefaultKeyParams(kind).key_oid) return &DefaultKeyParams(kind);
  return nullptr;
}

// GostR3410-KeyTransport: the wrapped key, its MAC, the wrap's parameter
// set, the sender's ephemeral public key and the UKM.
DWORD ParseKeyTransport(const Bytes& der, WrappedKey* wk) {
  ber::Reader outer(der);
  ber::Element seq, session, key, mac, params, oid, spki, ukm;
  if (!outer.Expect(ber::kSequence, &seq)) return NTE_BAD_DATA;
  ber::Reader r(seq.content);
  if (!r.Expect(ber::kSequence, &session) || !r.Expect(ber::kContext0, &params)) return NTE_BAD_DATA;
  ber::Reader s(session.content);
  if (!s.Expect(ber::kOctetString, &key)) return NTE_BAD_DATA;
  ber::Element mask;
  s.Expect(ber::kContext0, &mask);
  if (!s.Expect(ber::kOctetString, &mac)) return NTE_BAD_DATA;
  ber::Reader p(params.content);
  if (!p.Expect(ber::kOid, &oid) || !p.Expect(ber::kContext0, &spki) || !p.Expect(ber::kOctetString, &ukm))
    return NTE_BAD_DATA;
  wk->encrypted_key = Bytes(key.content);
  wk->mac = Bytes(mac.content);
  wk->paramset = ber::OidFromContent(oid.content);
  wk->ukm = Bytes(ukm.content);
  if (wk->encrypted_key.size() != 32 || wk->mac.size() != 4 || wk->ukm.size() != 8 || wk->paramset.empty())
    return NTE_BAD_DATA;
  // The [0] IMPLICIT SubjectPublicKeyInfo read as the SEQUENCE it is.
  ber::Reader k(spki.content);
  ber::Element alg, bits;
  if (!k.Expect(ber::kSequence, &alg) || !k.Expect(ber::kBitString, &bits) || bits.content.empty()) return NTE_BAD_DATA;
  CERT_PUBLIC_KEY_INFO ephemeral;
  if (ParseAlgorithm(alg.whole, &ephemeral.Algorithm) != 0) return NTE_BAD_DATA;
  ephemeral.PublicKey.cUnusedBits = static_cast<BYTE>(bits.content[0]);
  ephemeral.PublicKey.pbData = Bytes(bits.content.substr(1));
  const GostKeyParams* kind = ParamsForKeyOid(ephemeral.Algorithm.pszObjId);
  if (kind == nullptr) return NTE_BAD_ALGID;
  wk->sender_blob = Bytes("\x06\x20\x00\x00", 4) + Dword(kind->dh_alg) + Dword(GR3410_1_MAGIC) +
                    Dword(kind->bit_length) + ephemeral.Algorithm.Parameters + PublicKeyPoint(ephemeral);
  return 0;
}

// The agreement algorithm and the key wrap it names: { agreement OID,
// { wrap OID, Gost28147-89-KeyWrapParameters { parameter set, UKM
// OPTIONAL } OPTIONAL } }.
DWORD ParseAgreementAlgorithm(const CRYPT_ALGORITHM_IDENTIFIER& alg, WrappedKey* wk, Bytes* wrap_ukm) {
  bool known = false;
  for (const char* oid : kAgreementOids) known = known || alg.pszObjId == oid;
  if (!known) return CRYPT_E_UNKNOWN_ALGO;
  CRYPT_ALGORITHM_IDENTIFIER wrap;
  if (ParseAlgorithm(alg.Parameters, &wrap) != 0) return CRYPT_E_UNKNOWN_ALGO;
  if (wrap.pszObjId == kCryptoProWrap)
    wk->export_alg = CALG_PRO_EXPORT;
  else if (wrap.pszObjId == kPlainWrap)
    wk->export_alg = CALG_SIMPLE_EXPORT;
  else
    return CRYPT_E_UNKNOWN_ALGO;
  wk->paramset = kDefaultWrapParamSet;
  if (wrap.Parameters.empty()) return 0;
  ber::Reader outer(wrap.Parameters);
  ber::Element seq, oid, ukm;
  if (!outer.Expect(ber::kSequence, &seq)) return CRYPT_E_UNKNOWN_ALGO;
  ber::Reader p(seq.content);
  if (!p.Expect(ber::kOid, &oid)) return CRYPT_E_UNKNOWN_ALGO;
  wk->paramset = ber::OidFromContent(oid.content);
  if (p.Expect(ber::kOctetString, &ukm)) *wrap_ukm = Bytes(ukm.content);
  return wk->paramset.empty() || !p.empty() ? CRYPT_E_UNKNOWN_ALGO : 0;
}

// The originator's point, as long as the recipient's own: the public-key
// blob of the recipient's key with the originator's point in its place.
DWORD OriginatorBlob(const HCRYPTKEY& own, const CRYPT_BIT_BLOB& key, Bytes* blob) {
  if (key.cUnusedBits != 0) return NTE_BAD_PUBLIC_KEY;
  CERT_PUBLIC_KEY_INFO info;
  info.PublicKey = key;
  const Bytes point = PublicKeyPoint(info);
  DWORD size = 0;
  if (!CryptExportKey(own, nullptr, PUBLICKEYBLOB, 0, nullptr, &size)) return GetLastError();
  Bytes own_blob(size, '\0');
  if (!CryptExportKey(own, nullptr, PUBLICKEYBLOB, 0, reinterpret_cast<BYTE*>(own_blob.data()), &size))
    return GetLastError();
  own_blob.resize(size);
  // header(8) magic(4) bit length(4) parameters point
  const size_t params_size = own_blob.size() > 16 ? ber::DefiniteElementSize(std::string_view(own_blob).substr(16)) : 0;
  if (params_size == 0 || 16 + params_size > own_blob.size()) return NTE_BAD_KEY;
  if (point.size() != own_blob.size() - 16 - params_size) return NTE_BAD_PUBLIC_KEY;
  *blob = own_blob.substr(0, 16 + params_size) + point;
  return 0;
}

// The content key: the sender's key agreed with the recipient's, then the
// simple blob of the wrapped key imported through the agreed key.
DWORD UnwrapContentKey(const HCRYPTPROV& prov, const HCRYPTKEY& own, const WrappedKey& wk, HCRYPTKEY* key) {
  HCRYPTKEY agreed;
  if (!CryptImportKey(prov, wk.sender_blob, own, 0, &agreed) ||
      !CryptSetKeyParam(agreed, KP_ALGID, Dword(wk.export_alg), 0))
    return GetLastError();
  const Bytes param_set = gost28147::EncodeParamSet(wk.paramset);
  if (param_set.empty()) return NTE_BAD_DATA;
  const Bytes simple_blob = Bytes("\x01\x20\x00\x00", 4) + Dword(CALG_G28147) + Dword(G28147_MAGIC) +
                            Dword(CALG_G28147) + wk.ukm + wk.encrypted_key + wk.mac + param_set;
  return CryptImportKey(prov, simple_blob, agreed, 0, key) ? 0 : GetLastError();
}

// IV and parameter set of the content encryption (Gost28147-89-Parameters).
DWORD ContentParameters(const CRYPT_ALGORITHM_IDENTIFIER& alg, Bytes* iv, std::string* paramset) {
  if (alg.pszObjId != szOID_CP_GOST_28147) return CRYPT_E_UNKNOWN_ALGO;
  ber::Reader r(alg.Parameters);
  ber::Element seq, v, oid;
  if (!r.Expect(ber::kSequence, &seq)) return CRYPT_E_UNKNOWN_ALGO;
  ber::Reader p(seq.content);
  if (!p.Expect(ber::kOctetString, &v) || !p.Expect(ber::kOid, &oid) || v.content.size() != 8)
    return CRYPT_E_UNKNOWN_ALGO;
  *iv = Bytes(v.content);
  *paramset = ber::OidFromContent(oid.content);
  return paramset->empty() ? CRYPT_E_UNKNOWN_ALGO : 0;
}

}  // namespace

DWORD MsgDecoder::DecryptReady(const HCRYPTPROV& prov) const {
  if (type_ == 0 || (type_ == CMSG_ENVELOPED && !envelope_algorithm_)) return CRYPT_E_STREAM_MSG_NOT_READY;
  if (type_ != CMSG_ENVELOPED) return CRYPT_E_INVALID_MSG_TYPE;
  if (decrypted_) return CRYPT_E_ALREADY_DECRYPTED;
  if (prov == nullptr) return ERROR_INVALID_PARAMETER;
  return 0;
}

DWORD MsgDecoder::KeyTransIndex(DWORD index, DWORD* all_index) const {
  for (size_t i = 0; i < recipients_.size(); ++i) {
    if (recipients_[i].dwRecipientChoice != CMSG_KEY_TRANS_RECIPIENT) continue;
    if (index-- == 0) {
      *all_index = static_cast<DWORD>(i);
      return 0;
    }
  }
  return CRYPT_E_INVALID_INDEX;
}

DWORD MsgDecoder::ContentParametersOf(const HCRYPTKEY& key) {
  Bytes iv;
  std::string paramset;
  if (DWORD rc = ContentParameters(*envelope_algorithm_, &iv, &paramset)) return rc;
  if (!CryptSetKeyParam(key, KP_CIPHEROID, paramset + '\0', 0) || !CryptSetKeyParam(key, KP_IV, iv, 0) ||
      !CryptSetKeyParam(key, KP_MODE, Dword(CRYPT_MODE_CFB), 0))
    return GetLastError();
  return 0;
}

DWORD MsgDecoder::StartContent(const HCRYPTKEY& key) {
  if (DWORD rc = ContentParametersOf(key)) return rc;
  content_key_ = key;
  decrypted_ = true;
  Bytes pending = std::move(pending_);
  pending_.clear();
  if (DWORD rc = CipherBytes(reinterpret_cast<const BYTE*>(pending.data()), pending.size())) return rc;
  return message_final_ ? FinishOutput() : 0;
}

DWORD MsgDecoder::Decrypt(const CMSG_CTRL_DECRYPT_PARA& para) {
  if (DWORD rc = DecryptReady(para.hCryptProv)) return rc;
  DWORD index = 0;
  if (DWORD rc = KeyTransIndex(para.dwRecipientIndex, &index)) return rc;
  WrappedKey wk;
  if (DWORD rc = ParseKeyTransport(recipients_[index].KeyTrans.EncryptedKey, &wk)) return rc;
  // Key spec 0 names no key: the caller learns to ask for the exchange key.
  if (para.dwKeySpec == 0) return NTE_NO_KEY;
  HCRYPTKEY own, key;
  if (!CryptGetUserKey(para.hCryptProv, para.dwKeySpec, &own)) return GetLastError();
  if (DWORD rc = UnwrapContentKey(para.hCryptProv, own, wk, &key)) return rc;
  return StartContent(key);
}

DWORD MsgDecoder::AgreeDecrypt(const CMSG_CTRL_KEY_AGREE_DECRYPT_PARA& para) {
  if (DWORD rc = DecryptReady(para.hCryptProv)) return rc;
  if (para.dwRecipientIndex >= recipients_.size() ||
      recipients_[para.dwRecipientIndex].dwRecipientChoice != CMSG_KEY_AGREE_RECIPIENT)
    return CRYPT_E_INVALID_INDEX;
  const CMSG_KEY_AGREE_RECIPIENT_INFO& info = recipients_[para.dwRecipientIndex].KeyAgree;
  if (para.dwRecipientEncryptedKeyIndex >= info.rgRecipientEncryptedKeys.size()) return CRYPT_E_INVALID_INDEX;
  WrappedKey wk;
  Bytes wrap_ukm;
  if (DWORD rc = ParseAgreementAlgorithm(info.KeyEncryptionAlgorithm, &wk, &wrap_ukm)) return rc;
  if (!ParseEncryptedKey(info.rgRecipientEncryptedKeys[para.dwRecipientEncryptedKeyIndex].EncryptedKey, &wk))
    return NTE_BAD_DATA;
  wk.ukm = info.UserKeyingMaterial.empty() ? wrap_ukm : info.UserKeyingMaterial;
  if (wk.ukm.size() != 8) return NTE_BAD_DATA;
  if (para.dwKeySpec == 0) return NTE_NO_KEY;
  HCRYPTKEY own, key;
  if (!CryptGetUserKey(para.hCryptProv, para.dwKeySpec, &own)) return GetLastError();
  // The caller passes the originator's key; the message's own serves when
  // it carries one and the caller passed none.
  const CRYPT_BIT_BLOB& originator =
      para.OriginatorPublicKey.pbData.empty() ? info.OriginatorPublicKeyInfo.PublicKey : para.OriginatorPublicKey;
  if (DWORD rc = OriginatorBlob(own, originator, &wk.sender_blob)) return rc;
  if (DWORD rc = UnwrapContentKey(para.hCryptProv, own, wk, &key)) return rc;
  return StartContent(key);
}

DWORD MsgDecoder::CipherBytes(const BYTE* data, size_t size) {
  if (size == 0) return 0;
  if (!decrypted_) {
    pending_.append(reinterpret_cast<const char*>(data), size);
    return 0;
  }
  // CFB keeps its place between pieces; the final flag would restart it.
  Bytes piece(reinterpret_cast<const char*>(data), size);
  DWORD len = static_cast<DWORD>(piece.size());
  if (!CryptDecrypt(content_key_, nullptr, false, 0, reinterpret_cast<BYTE*>(piece.data()), &len))
    return GetLastError();
  return Output(reinterpret_cast<const BYTE*>(piece.data()), len, false);
}

}  // namespace zuntar
