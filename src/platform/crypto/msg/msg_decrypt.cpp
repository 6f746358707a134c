// Decryption of an enveloped message for one recipient: the GOST key
// transport turned into the provider's blobs, the content key imported
// through the recipient's own key, and the content decrypted as it passes.
#include "platform/crypto/asn1/ber_reader.h"
#include "platform/crypto/base/crypt_error.h"
#include "platform/crypto/gost/gost28147.h"
#include "platform/crypto/gost/gost_key_material.h"
#include "platform/crypto/gost/gost_params.h"
#include "platform/crypto/msg/msg_decoder.h"

namespace zuntar {

namespace {

Bytes Dword(DWORD v) {
  Bytes out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

// GostR3410-KeyTransport: the wrapped key, its MAC, the wrap's parameter
// set, the sender's ephemeral public key and the UKM.
struct KeyTransport {
  Bytes encrypted_key;
  Bytes mac;
  std::string paramset;
  CERT_PUBLIC_KEY_INFO ephemeral;
  Bytes ukm;
};

DWORD ParseKeyTransport(const Bytes& der, KeyTransport* kt) {
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
  kt->encrypted_key = Bytes(key.content);
  kt->mac = Bytes(mac.content);
  kt->paramset = ber::OidFromContent(oid.content);
  kt->ukm = Bytes(ukm.content);
  if (kt->encrypted_key.size() != 32 || kt->mac.size() != 4 || kt->ukm.size() != 8 || kt->paramset.empty())
    return NTE_BAD_DATA;
  // The [0] IMPLICIT SubjectPublicKeyInfo read as the SEQUENCE it is.
  ber::Reader k(spki.content);
  ber::Element alg, bits;
  if (!k.Expect(ber::kSequence, &alg) || !k.Expect(ber::kBitString, &bits) || bits.content.empty()) return NTE_BAD_DATA;
  CRYPT_ALGORITHM_IDENTIFIER id;
  if (ParseAlgorithm(alg.whole, &id) != 0) return NTE_BAD_DATA;
  kt->ephemeral.Algorithm = id;
  kt->ephemeral.PublicKey.cUnusedBits = static_cast<BYTE>(bits.content[0]);
  kt->ephemeral.PublicKey.pbData = Bytes(bits.content.substr(1));
  return 0;
}

const GostKeyParams* ParamsForKeyOid(const std::string& oid) {
  for (GostKeyKind kind : {GostKeyKind::k2001, GostKeyKind::k2012_256, GostKeyKind::k2012_512})
    if (oid == DefaultKeyParams(kind).key_oid) return &DefaultKeyParams(kind);
  return nullptr;
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

DWORD MsgDecoder::ContentKey(const CMSG_CTRL_DECRYPT_PARA& para, HCRYPTKEY* key) {
  const MsgRecipient& recipient = recipients_[para.dwRecipientIndex];
  if (recipient.encrypted_key.empty()) return CRYPT_E_UNKNOWN_ALGO;  // not a key transport recipient
  KeyTransport kt;
  if (DWORD rc = ParseKeyTransport(recipient.encrypted_key, &kt)) return rc;
  const GostKeyParams* params = ParamsForKeyOid(kt.ephemeral.Algorithm.pszObjId);
  if (params == nullptr) return NTE_BAD_ALGID;
  // Key spec 0 names no key: the caller learns to ask for the exchange key.
  if (para.dwKeySpec == 0) return NTE_NO_KEY;
  HCRYPTKEY own, agreed;
  if (!CryptGetUserKey(para.hCryptProv, para.dwKeySpec, &own)) return GetLastError();
  const Bytes public_blob = Bytes("\x06\x20\x00\x00", 4) + Dword(params->dh_alg) + Dword(GR3410_1_MAGIC) +
                            Dword(params->bit_length) + kt.ephemeral.Algorithm.Parameters +
                            PublicKeyPoint(kt.ephemeral);
  if (!CryptImportKey(para.hCryptProv, public_blob, own, 0, &agreed) ||
      !CryptSetKeyParam(agreed, KP_ALGID, Dword(CALG_PRO_EXPORT), 0))
    return GetLastError();
  const Bytes simple_blob = Bytes("\x01\x20\x00\x00", 4) + Dword(CALG_G28147) + Dword(G28147_MAGIC) +
                            Dword(CALG_G28147) + kt.ukm + kt.encrypted_key + kt.mac +
                            gost28147::EncodeParamSet(kt.paramset);
  if (!CryptImportKey(para.hCryptProv, simple_blob, agreed, 0, key)) return GetLastError();
  Bytes iv;
  std::string paramset;
  if (DWORD rc = ContentParameters(*envelope_algorithm_, &iv, &paramset)) return rc;
  if (!CryptSetKeyParam(*key, KP_CIPHEROID, paramset + '\0', 0) || !CryptSetKeyParam(*key, KP_IV, iv, 0) ||
      !CryptSetKeyParam(*key, KP_MODE, Dword(CRYPT_MODE_CFB), 0))
    return GetLastError();
  return 0;
}

DWORD MsgDecoder::Decrypt(const CMSG_CTRL_DECRYPT_PARA& para) {
  if (type_ == 0 || (type_ == CMSG_ENVELOPED && !envelope_algorithm_)) return CRYPT_E_STREAM_MSG_NOT_READY;
  if (type_ != CMSG_ENVELOPED) return CRYPT_E_INVALID_MSG_TYPE;
  if (decrypted_) return CRYPT_E_ALREADY_DECRYPTED;
  if (para.hCryptProv == nullptr) return ERROR_INVALID_PARAMETER;
  if (para.dwRecipientIndex >= recipients_.size()) return CRYPT_E_INVALID_INDEX;
  HCRYPTKEY key;
  if (DWORD rc = ContentKey(para, &key)) return rc;
  content_key_ = key;
  decrypted_ = true;
  Bytes pending = std::move(pending_);
  pending_.clear();
  if (DWORD rc = CipherBytes(reinterpret_cast<const BYTE*>(pending.data()), pending.size())) return rc;
  return message_final_ ? FinishOutput() : 0;
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
