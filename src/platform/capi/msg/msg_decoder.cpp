#include "platform/capi/msg/msg_decoder.h"

#include <algorithm>

#include "platform/capi/asn1/ber_reader.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/msg/msg_algorithms.h"

namespace zuntar {

namespace {

// The largest single part kept whole (a certificate set, the signer
// information): far above any real message, small enough that garbage
// cannot exhaust memory.
constexpr size_t kMaxCollected = 16 << 20;

}  // namespace

MsgDecoder::MsgDecoder(DWORD flags, DWORD msg_type, const CMSG_STREAM_INFO* stream)
    : flags_(flags), expected_type_(msg_type), parser_(this, kMaxCollected) {
  if (stream != nullptr && stream->pfnStreamOutput) {
    streamed_ = true;
    output_ = stream->pfnStreamOutput;
  }
}

DWORD MsgDecoder::Update(const BYTE* data, size_t size, bool final) {
  if (data == nullptr && size != 0) return E_INVALIDARG;
  if (message_final_) {
    // After a detached signature, the updates carry the signed content.
    if (!(flags_ & CMSG_DETACHED_FLAG) || !signed_type() || content_final_) return CRYPT_E_MSG_ERROR;
    if (DWORD rc = HashKeptContent()) return rc;  // what came before goes first
    for (auto& [oid, ctx] : digests_)
      if (EVP_DigestUpdate(ctx.get(), data, size) != 1) return NTE_BAD_HASH;
    content_final_ = final;
    return 0;
  }
  // A message given whole holds its content: room for it at once instead
  // of growing through copies.
  if (!streamed_ && parser_.offset() == 0 && content_.capacity() < size) content_.reserve(size);
  if (DWORD rc = parser_.Feed(data, size)) return rc;
  if (!final) return 0;
  if (!parser_.done()) return streamed_ ? CRYPT_E_STREAM_INSUFFICIENT_DATA : CRYPT_E_ASN1_EOD;
  message_final_ = true;
  if (type_ == CMSG_ENVELOPED && !decrypted_) return 0;
  return FinishOutput();
}

// ---- Walking the message ------------------------------------------------------------

DWORD MsgDecoder::OnStart(const ber::Header& header, Mode* mode) {
  if (levels_.empty()) {
    if (header.tag != ber::kSequence) return CRYPT_E_ASN1_BADTAG;
    levels_.push_back({Role::kContentInfo});
    *mode = Mode::kWalk;
    return 0;
  }
  Level& parent = levels_.back();
  const int index = parent.children++;
  return StartIn(parent, index, header, mode);
}

DWORD MsgDecoder::StartIn(const Level& parent, int index, const ber::Header& header, Mode* mode) {
  const BYTE tag = header.tag;
  auto walk = [&](Role role) {
    levels_.push_back({role});
    *mode = Mode::kWalk;
    return DWORD{0};
  };
  *mode = Mode::kCollect;
  switch (parent.role) {
    case Role::kContentInfo:
      if (index == 0 && tag == ber::kOid) return 0;
      if (index == 1 && tag == ber::kContext0 && type_ != 0) return walk(Role::kExplicit);
      return CRYPT_E_ASN1_BADTAG;
    case Role::kExplicit:
      if (index != 0) return CRYPT_E_ASN1_BADTAG;
      if (type_ == CMSG_SIGNED && tag == ber::kSequence) return walk(Role::kSignedData);
      if (type_ == CMSG_ENVELOPED && tag == ber::kSequence) return walk(Role::kEnveloped);
      if (type_ == CMSG_DATA && (tag == ber::kOctetString || tag == 0x24)) return walk(Role::kOctets);
      return CRYPT_E_ASN1_BADTAG;
    case Role::kSignedData:
      if (tag == ber::kSequence && index == 2) return walk(Role::kEncap);
      if ((tag == ber::kInteger && index == 0) || (tag == ber::kSet && index >= 1) || tag == ber::kContext0 ||
          tag == ber::kContext1)
        return 0;
      return CRYPT_E_ASN1_BADTAG;
    case Role::kEncap:
      if (index == 0 && tag == ber::kOid) return 0;
      if (index == 1 && tag == ber::kContext0) return walk(Role::kEncapExplicit);
      return CRYPT_E_ASN1_BADTAG;
    case Role::kEncapExplicit:
      if (index != 0) return CRYPT_E_ASN1_BADTAG;
      if (tag == ber::kOctetString || tag == 0x24) return walk(Role::kOctets);
      return 0;  // content of another type: delivered as its encoding
    case Role::kOctets:
      if (tag == ber::kOctetString || tag == 0x24) return walk(Role::kOctets);
      return CRYPT_E_ASN1_BADTAG;
    case Role::kEnveloped:
      if (tag == ber::kSequence && index >= 2) return walk(Role::kEncContentInfo);
      if (tag == ber::kInteger || tag == ber::kSet || tag == ber::kContext0 || tag == ber::kContext1) return 0;
      return CRYPT_E_ASN1_BADTAG;
    case Role::kEncContentInfo:
      if ((index == 0 && tag == ber::kOid) || (index == 1 && tag == ber::kSequence)) return 0;
      if (index == 2 && (tag == ber::kImplicit0 || tag == ber::kContext0)) return walk(Role::kEncrypted);
      return CRYPT_E_ASN1_BADTAG;
    case Role::kEncrypted:
      if (tag == ber::kOctetString || tag == 0x24) return walk(Role::kEncrypted);
      return CRYPT_E_ASN1_BADTAG;
  }
  return CRYPT_E_ASN1_BADTAG;
}

DWORD MsgDecoder::OnContent(const ber::Header& /*header*/, const BYTE* data, size_t size) {
  const Role role = levels_.back().role;
  if (role == Role::kOctets) return ContentBytes(data, size);
  if (role == Role::kEncrypted) return CipherBytes(data, size);
  return CRYPT_E_ASN1_BADTAG;
}

DWORD MsgDecoder::OnEnd(const ber::Header& /*header*/) {
  levels_.pop_back();
  return 0;
}

DWORD MsgDecoder::OnCollected(const ber::Header& header, Bytes encoding) {
  const Level& parent = levels_.back();
  return CollectedIn(parent, parent.children - 1, header, encoding);
}

namespace {

// Parses each element of a SET OF (signer or recipient infos) with `parse`
// and appends it to `out`.
template <typename T>
DWORD ParseSetOf(std::string_view der, std::vector<T>* out, DWORD (*parse)(std::string_view, T*)) {
  ber::Reader set(der);
  ber::Element e;
  if (!set.Next(&e)) return CRYPT_E_ASN1_CORRUPT;
  ber::Reader r(e.content);
  while (!r.empty()) {
    ber::Element element;
    T item;
    if (!r.Next(&element)) return CRYPT_E_ASN1_CORRUPT;
    if (DWORD rc = parse(element.whole, &item)) return rc;
    out->push_back(std::move(item));
  }
  return 0;
}

}  // namespace

DWORD MsgDecoder::CollectedIn(const Level& parent, int index, const ber::Header& header, std::string_view der) {
  switch (parent.role) {
    case Role::kContentInfo:
      return SetType(der);
    case Role::kSignedData:
      if (header.tag == ber::kSet && index == 1) return SetDigestAlgorithms(der);
      if (header.tag == ber::kContext0) return AddCertificates(der, &certs_);
      if (header.tag == ber::kContext1) return AddCertificates(der, &crls_);
      if (header.tag == ber::kSet) return ParseSetOf(der, &signers_, ParseSignerInfo);
      return 0;
    case Role::kEncap:
    case Role::kEncContentInfo:
      if (header.tag == ber::kOid) {
        ber::Reader r(der);
        ber::Element e;
        if (!r.Next(&e)) return CRYPT_E_ASN1_CORRUPT;
        inner_type_ = ber::OidFromContent(e.content);
        return 0;
      }
      if (parent.role == Role::kEncContentInfo) {
        CRYPT_ALGORITHM_IDENTIFIER alg;
        if (DWORD rc = ParseAlgorithm(der, &alg)) return rc;
        envelope_algorithm_ = alg;
      }
      return 0;
    case Role::kEncapExplicit:
      return ContentBytes(reinterpret_cast<const BYTE*>(der.data()), der.size());
    case Role::kEnveloped:
      if (header.tag == ber::kSet) return ParseSetOf(der, &recipients_, ParseRecipientInfo);
      return 0;
    default:
      return 0;
  }
}

DWORD MsgDecoder::SetType(std::string_view oid_der) {
  ber::Reader r(oid_der);
  ber::Element e;
  if (!r.Next(&e)) return CRYPT_E_ASN1_CORRUPT;
  const std::string oid = ber::OidFromContent(e.content);
  if (oid == szOID_RSA_data)
    type_ = CMSG_DATA;
  else if (oid == szOID_RSA_signedData)
    type_ = CMSG_SIGNED;
  else if (oid == szOID_RSA_envelopedData)
    type_ = CMSG_ENVELOPED;
  else
    return CRYPT_E_INVALID_MSG_TYPE;
  if (expected_type_ != 0 && expected_type_ != type_) return CRYPT_E_INVALID_MSG_TYPE;
  return 0;
}

DWORD MsgDecoder::SetDigestAlgorithms(std::string_view set_der) {
  ber::Reader outer(set_der);
  ber::Element set;
  if (!outer.Next(&set)) return CRYPT_E_ASN1_CORRUPT;
  ber::Reader r(set.content);
  while (!r.empty()) {
    ber::Element alg;
    CRYPT_ALGORITHM_IDENTIFIER id;
    if (!r.Next(&alg) || ParseAlgorithm(alg.whole, &id) != 0) return CRYPT_E_ASN1_CORRUPT;
    const MsgHashAlgorithm* hash = HashForOid(id.pszObjId);
    const EVP_MD* md = hash != nullptr ? DigestOf(*hash) : nullptr;
    if (md == nullptr || digests_.count(hash->hash_oid) > 0) continue;  // unknown: its signers fail to verify
    ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
    if (ctx == nullptr || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return NTE_BAD_HASH;
    digests_.emplace(hash->hash_oid, std::move(ctx));
  }
  return 0;
}

DWORD MsgDecoder::AddCertificates(std::string_view der, std::vector<Bytes>* out) {
  ber::Reader outer(der);
  ber::Element set;
  if (!outer.Next(&set)) return CRYPT_E_ASN1_CORRUPT;
  ber::Reader r(set.content);
  while (!r.empty()) {
    ber::Element e;
    if (!r.Next(&e)) return CRYPT_E_ASN1_CORRUPT;
    out->emplace_back(e.whole);
  }
  return 0;
}

// ---- Content ---------------------------------------------------------------------------

DWORD MsgDecoder::ContentBytes(const BYTE* data, size_t size) {
  if (!streamed_) return Output(data, size, false);
  for (auto& [oid, ctx] : digests_)
    if (EVP_DigestUpdate(ctx.get(), data, size) != 1) return NTE_BAD_HASH;
  return Output(data, size, false);
}

DWORD MsgDecoder::HashKeptContent() {
  if (streamed_ || !signed_type() || hashed_ == content_.size()) return 0;
  for (auto& [oid, ctx] : digests_)
    if (EVP_DigestUpdate(ctx.get(), content_.data() + hashed_, content_.size() - hashed_) != 1) return NTE_BAD_HASH;
  hashed_ = content_.size();
  return 0;
}

DWORD MsgDecoder::Output(const BYTE* data, size_t size, bool final) {
  if (!streamed_) {
    content_.append(reinterpret_cast<const char*>(data), size);
    return 0;
  }
  if (size == 0 && !final) return 0;
  SetLastError(0);
  if (output_(data, static_cast<DWORD>(size), final)) return 0;
  const DWORD rc = GetLastError();
  return rc != 0 ? rc : CRYPT_E_MSG_ERROR;
}

DWORD MsgDecoder::FinishOutput() {
  if (output_finished_ || !streamed_) return 0;
  output_finished_ = true;
  return Output(nullptr, 0, true);
}

// ---- Parameters ----------------------------------------------------------------------

DWORD MsgDecoder::GetBytes(DWORD param, DWORD index, Bytes* value) {
  switch (param) {
    case CMSG_CONTENT_PARAM:
      if (streamed_) return CRYPT_E_STREAM_MSG_NOT_READY;
      if (type_ == CMSG_ENVELOPED && !decrypted_) return CRYPT_E_NOT_DECRYPTED;
      if (!message_final_) return CRYPT_E_STREAM_MSG_NOT_READY;
      *value = content_;
      return 0;
    case CMSG_CERT_PARAM:
    case CMSG_CRL_PARAM: {
      const std::vector<Bytes>& list = param == CMSG_CERT_PARAM ? certs_ : crls_;
      if (index >= list.size()) return CRYPT_E_INVALID_INDEX;
      *value = list[index];
      return 0;
    }
    case CMSG_COMPUTED_HASH_PARAM: {
      // The hash of the content as signer `index` computes it.
      if (!signed_type()) return CRYPT_E_INVALID_MSG_TYPE;
      if (index >= signers_.size()) return CRYPT_E_INVALID_INDEX;
      const MsgHashAlgorithm* hash = HashForOid(signers_[index].hash_oid);
      return hash != nullptr ? Digest(hash->hash_oid, value) : CRYPT_E_UNKNOWN_ALGO;
    }
    case CMSG_INNER_CONTENT_TYPE_PARAM:
      if (inner_type_.empty()) return CRYPT_E_STREAM_MSG_NOT_READY;
      *value = inner_type_;
      return 0;
    default:
      return CRYPT_E_INVALID_MSG_TYPE;
  }
}

DWORD MsgDecoder::GetNumber(DWORD param, DWORD* value) {
  if (type_ == 0) return CRYPT_E_STREAM_MSG_NOT_READY;
  switch (param) {
    case CMSG_TYPE_PARAM:
      *value = type_;
      return 0;
    case CMSG_SIGNER_COUNT_PARAM:
    case CMSG_CERT_COUNT_PARAM:
    case CMSG_CRL_COUNT_PARAM:
      if (!signed_type()) return CRYPT_E_INVALID_MSG_TYPE;
      *value = static_cast<DWORD>(param == CMSG_SIGNER_COUNT_PARAM ? signers_.size()
                                  : param == CMSG_CERT_COUNT_PARAM ? certs_.size()
                                                                   : crls_.size());
      return 0;
    case CMSG_RECIPIENT_COUNT_PARAM:
      if (type_ != CMSG_ENVELOPED) return CRYPT_E_INVALID_MSG_TYPE;
      *value = static_cast<DWORD>(std::count_if(recipients_.begin(), recipients_.end(), [](const auto& r) {
        return r.dwRecipientChoice == CMSG_KEY_TRANS_RECIPIENT;
      }));
      return 0;
    case CMSG_CMS_RECIPIENT_COUNT_PARAM:
      if (type_ != CMSG_ENVELOPED) return CRYPT_E_INVALID_MSG_TYPE;
      *value = static_cast<DWORD>(recipients_.size());
      return 0;
    default:
      return CRYPT_E_INVALID_MSG_TYPE;
  }
}

DWORD MsgDecoder::GetCertInfo(DWORD param, DWORD index, CERT_INFO* value) {
  const Bytes* issuer = nullptr;
  const Bytes* serial = nullptr;
  if (param == CMSG_SIGNER_CERT_INFO_PARAM && signed_type()) {
    if (index >= signers_.size()) return CRYPT_E_INVALID_INDEX;
    issuer = &signers_[index].issuer;
    serial = &signers_[index].serial;
  } else if (param == CMSG_RECIPIENT_INFO_PARAM && type_ == CMSG_ENVELOPED) {
    DWORD all_index = 0;
    if (DWORD rc = KeyTransIndex(index, &all_index)) return rc;
    issuer = &recipients_[all_index].KeyTrans.RecipientId.Issuer;
    serial = &recipients_[all_index].KeyTrans.RecipientId.SerialNumber;
  } else {
    return CRYPT_E_INVALID_MSG_TYPE;
  }
  *value = CERT_INFO();
  value->Issuer = *issuer;
  value->SerialNumber = *serial;
  return 0;
}

DWORD MsgDecoder::GetRecipient(DWORD index, CMSG_CMS_RECIPIENT_INFO* value) {
  if (type_ == 0) return CRYPT_E_STREAM_MSG_NOT_READY;
  if (type_ != CMSG_ENVELOPED) return CRYPT_E_INVALID_MSG_TYPE;
  if (index >= recipients_.size()) return CRYPT_E_INVALID_INDEX;
  *value = recipients_[index];
  return 0;
}

DWORD MsgDecoder::GetAttributes(DWORD param, DWORD index, CRYPT_ATTRIBUTES* value) {
  if (!signed_type() || (param != CMSG_SIGNER_AUTH_ATTR_PARAM && param != CMSG_SIGNER_UNAUTH_ATTR_PARAM))
    return CRYPT_E_INVALID_MSG_TYPE;
  if (index >= signers_.size()) return CRYPT_E_INVALID_INDEX;
  const auto& attrs = param == CMSG_SIGNER_AUTH_ATTR_PARAM ? signers_[index].auth_attrs : signers_[index].unauth_attrs;
  if (!attrs || attrs->rgAttr.empty()) return CRYPT_E_ATTRIBUTES_MISSING;
  *value = *attrs;
  return 0;
}

DWORD MsgDecoder::GetAlgorithm(DWORD param, DWORD index, CRYPT_ALGORITHM_IDENTIFIER* value) {
  if (param == CMSG_ENVELOPE_ALGORITHM_PARAM) {
    if (type_ != 0 && type_ != CMSG_ENVELOPED) return CRYPT_E_INVALID_MSG_TYPE;
    if (!envelope_algorithm_) return CRYPT_E_STREAM_MSG_NOT_READY;
    *value = *envelope_algorithm_;
    return 0;
  }
  if (param == CMSG_SIGNER_HASH_ALGORITHM_PARAM && signed_type()) {
    if (index >= signers_.size()) return CRYPT_E_INVALID_INDEX;
    *value = CRYPT_ALGORITHM_IDENTIFIER{signers_[index].hash_oid, {}};
    return 0;
  }
  return CRYPT_E_INVALID_MSG_TYPE;
}

}  // namespace zuntar
