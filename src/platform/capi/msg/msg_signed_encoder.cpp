#include "platform/capi/msg/msg_signed_encoder.h"

#include <algorithm>

#include "platform/capi/asn1/ber_reader.h"
#include "platform/capi/asn1/der_writer.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/gost/gost_key_material.h"

namespace zuntar {

namespace {

const Bytes kEndOfContents("\x00\x00", 2);

// Size of a definite-length header for contents of that size.
uint64_t HeaderSize(uint64_t length) { return ber::ElementHeader(0, static_cast<size_t>(length)).size(); }
Bytes HeaderOf(BYTE tag, uint64_t length) { return ber::ElementHeader(tag, static_cast<size_t>(length)); }

Bytes AttributeOf(const std::string& oid, const std::vector<Bytes>& values) {
  return ber::Wrap(ber::kSequence, ber::Oid(oid) + ber::SetOf(values));
}

}  // namespace

DWORD SignedEncoder::Open(const CMSG_SIGNED_ENCODE_INFO& info, bool detached, const CMSG_STREAM_INFO* stream,
                          HCRYPTMSG* msg) {
  std::shared_ptr<SignedEncoder> encoder(new SignedEncoder());
  encoder->info_ = info;
  encoder->detached_ = detached;
  if (stream != nullptr) {
    if (!stream->pfnStreamOutput) return ERROR_INVALID_PARAMETER;
    encoder->streamed_ = true;
    encoder->output_ = stream->pfnStreamOutput;
    encoder->declared_size_ = stream->cbContent;
  }
  for (const CMSG_SIGNER_ENCODE_INFO& si : info.rgSigners) {
    Signer signer;
    signer.info = si;
    if (si.pCertInfo == nullptr || si.hCryptProv == nullptr) return E_INVALIDARG;
    signer.hash = HashForOid(si.HashAlgorithm.pszObjId);
    if (signer.hash == nullptr) return CRYPT_E_UNKNOWN_ALGO;
    // A GOST key signs only with its own hash; the caller's choice is
    // honoured and a wrong one refused as the provider refuses it, before
    // any content has gone out.
    const MsgHashAlgorithm* own = HashForKey(si.pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId);
    if (own != nullptr && own->alg != signer.hash->alg) return NTE_BAD_ALGID;
    if (DigestOf(*signer.hash) == nullptr) return CRYPT_E_UNKNOWN_ALGO;
    signer.signature_size = SignatureSizeForKey(si.pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId);
    if (signer.signature_size == 0) return NTE_BAD_ALGID;
    if (!CryptCreateHash(si.hCryptProv, signer.hash->alg, nullptr, 0, &signer.content_hash)) return GetLastError();
    encoder->signers_.push_back(std::move(signer));
  }
  *msg = encoder;
  return 0;
}

DWORD SignedEncoder::Update(const BYTE* data, size_t size, bool final) {
  if (finished_) return CRYPT_E_MSG_ERROR;
  if (data == nullptr && size != 0) return E_INVALIDARG;
  for (Signer& s : signers_)
    if (!CryptHashData(s.content_hash, data, static_cast<DWORD>(size), 0)) return GetLastError();
  const bool definite = declared_size_ != CMSG_INDEFINITE_LENGTH;
  if (definite && fed_ + size > declared_size_) return CRYPT_E_MSG_ERROR;
  if (!detached_ && streamed_) {
    if (fed_ == 0 && !started_) {
      started_ = true;
      if (DWORD rc = Emit(definite ? Prefix(declared_size_) : IndefinitePrefix(), false)) return rc;
    }
    if (size > 0 && definite) {
      // The content goes out as the caller gave it, without a copy.
      if (DWORD rc = Emit(data, size, false)) return rc;
    } else if (size > 0) {
      if (DWORD rc = Emit(ber::Wrap(ber::kOctetString, Bytes(reinterpret_cast<const char*>(data), size)), false))
        return rc;
    }
  } else if (!detached_) {
    content_.append(reinterpret_cast<const char*>(data), size);
  }
  fed_ += size;
  if (!final) return 0;
  if (streamed_ && definite && fed_ != declared_size_) return CRYPT_E_MSG_ERROR;
  finished_ = true;
  return Finish();
}

DWORD SignedEncoder::Finish() {
  std::vector<Bytes> infos;
  for (Signer& s : signers_) {
    Bytes signature;
    if (DWORD rc = Sign(s, &signature)) return rc;
    infos.push_back(SignerInfo(s, &signature));
  }
  Bytes signer_infos;
  for (const Bytes& i : infos) signer_infos += i;
  const Bytes suffix = CertificatesAndCrls() + ber::Wrap(ber::kSet, signer_infos);
  const bool definite = !streamed_ || declared_size_ != CMSG_INDEFINITE_LENGTH;
  if (!definite && !detached_) {
    // Closes the chunked OCTET STRING, [0] and the encapsulated content,
    // then SignedData, [0] and ContentInfo after the signer information.
    return Emit(kEndOfContents + kEndOfContents + kEndOfContents + suffix + kEndOfContents + kEndOfContents +
                    kEndOfContents,
                true);
  }
  if (detached_) return Emit(Prefix(0) + suffix, true);
  if (!streamed_) {
    // The message is built once, in place: the content may be large.
    const Bytes prefix = Prefix(content_.size());
    encoded_.reserve(prefix.size() + content_.size() + suffix.size());
    encoded_ += prefix;
    encoded_ += content_;
    Bytes().swap(content_);
    encoded_ += suffix;
    return 0;
  }
  return Emit(suffix, true);
}

DWORD SignedEncoder::Emit(const Bytes& bytes, bool final) {
  return Emit(reinterpret_cast<const BYTE*>(bytes.data()), bytes.size(), final);
}

DWORD SignedEncoder::Emit(const BYTE* data, size_t size, bool final) {
  if (!streamed_) {
    encoded_.append(reinterpret_cast<const char*>(data), size);
    return 0;
  }
  SetLastError(0);
  if (output_(data, static_cast<DWORD>(size), final)) return 0;
  const DWORD rc = GetLastError();
  return rc != 0 ? rc : CRYPT_E_MSG_ERROR;
}

Bytes SignedEncoder::DigestAlgorithms() const {
  std::vector<Bytes> algs;
  for (const Signer& s : signers_) {
    const Bytes alg = AlgorithmWithNull(s.hash->hash_oid);
    if (std::find(algs.begin(), algs.end(), alg) == algs.end()) algs.push_back(alg);
  }
  return ber::SetOf(algs);
}

Bytes SignedEncoder::CertificatesAndCrls() const {
  Bytes out;
  if (!info_.rgCertEncoded.empty()) {
    // [0] IMPLICIT SET OF: the SET's contents under the context tag.
    Bytes certs;
    for (const Bytes& c : info_.rgCertEncoded) certs += c;
    out = ber::Wrap(ber::kContext0, certs);
  }
  if (!info_.rgCrlEncoded.empty()) {
    Bytes crls;
    for (const Bytes& c : info_.rgCrlEncoded) crls += c;
    out += ber::Wrap(ber::kContext1, crls);
  }
  return out;
}

Bytes SignedEncoder::Prefix(uint64_t content_size) const {
  Bytes signer_infos;
  for (const Signer& s : signers_) signer_infos += SignerInfo(s, nullptr);
  const uint64_t infos_size = HeaderSize(signer_infos.size()) + signer_infos.size();
  const Bytes data_oid = ber::Oid(szOID_RSA_data);
  Bytes encap_head;
  uint64_t encap_size = 0;
  if (detached_) {
    encap_head = HeaderOf(ber::kSequence, data_oid.size()) + data_oid;
    encap_size = encap_head.size();
  } else {
    const uint64_t octets = HeaderSize(content_size) + content_size;
    const uint64_t explicit_size = HeaderSize(octets) + octets;
    const uint64_t encap_contents = data_oid.size() + explicit_size;
    encap_head = HeaderOf(ber::kSequence, encap_contents) + data_oid + HeaderOf(ber::kContext0, octets) +
                 HeaderOf(ber::kOctetString, content_size);
    encap_size = HeaderSize(encap_contents) + encap_contents;
  }
  const Bytes head = Bytes("\x02\x01\x01", 3) + DigestAlgorithms();
  const uint64_t signed_data = head.size() + encap_size + CertificatesAndCrls().size() + infos_size;
  const uint64_t sequence_size = HeaderSize(signed_data) + signed_data;
  const Bytes type_oid = ber::Oid(szOID_RSA_signedData);
  const uint64_t content_info = type_oid.size() + HeaderSize(sequence_size) + sequence_size;
  return HeaderOf(ber::kSequence, content_info) + type_oid + HeaderOf(ber::kContext0, sequence_size) +
         HeaderOf(ber::kSequence, signed_data) + head + encap_head;
}

Bytes SignedEncoder::IndefinitePrefix() const {
  return Bytes("\x30\x80", 2) + ber::Oid(szOID_RSA_signedData) + Bytes("\xA0\x80\x30\x80\x02\x01\x01", 7) +
         DigestAlgorithms() + Bytes("\x30\x80", 2) + ber::Oid(szOID_RSA_data) + Bytes("\xA0\x80\x24\x80", 4);
}

Bytes SignedEncoder::SignedAttributes(const Signer& signer) const {
  if (signer.info.rgAuthAttr.empty()) return {};
  const size_t digest_size = static_cast<size_t>(EVP_MD_get_size(DigestOf(*signer.hash)));
  const Bytes digest = signer.digest.empty() ? Bytes(digest_size, '\0') : signer.digest;
  std::vector<Bytes> attrs;
  bool has_type = false, has_digest = false;
  for (const CRYPT_ATTRIBUTE& a : signer.info.rgAuthAttr) {
    has_type = has_type || a.pszObjId == szOID_RSA_contentType;
    has_digest = has_digest || a.pszObjId == szOID_RSA_messageDigest;
    if (a.pszObjId != szOID_RSA_messageDigest) attrs.push_back(AttributeOf(a.pszObjId, a.rgValue));
  }
  if (!has_type) attrs.push_back(AttributeOf(szOID_RSA_contentType, {ber::Oid(szOID_RSA_data)}));
  attrs.push_back(AttributeOf(szOID_RSA_messageDigest, {ber::Wrap(ber::kOctetString, digest)}));
  (void)has_digest;  // a caller's own digest attribute is replaced by the computed one
  return ber::SetOf(attrs);
}

Bytes SignedEncoder::SignerInfo(const Signer& signer, const Bytes* signature) const {
  const CERT_INFO& cert = *signer.info.pCertInfo;
  const Bytes sid = ber::Wrap(ber::kSequence, cert.Issuer + ber::IntegerFromBlob(cert.SerialNumber));
  Bytes attrs = SignedAttributes(signer);
  if (!attrs.empty()) attrs[0] = static_cast<char>(ber::kContext0);
  const Bytes value = signature != nullptr ? *signature : Bytes(signer.signature_size, '\0');
  return ber::Wrap(ber::kSequence, Bytes("\x02\x01\x01", 3) + sid + AlgorithmWithNull(signer.hash->hash_oid) + attrs +
                                       AlgorithmWithNull(cert.SubjectPublicKeyInfo.Algorithm.pszObjId) +
                                       ber::Wrap(ber::kOctetString, value));
}

DWORD SignedEncoder::Sign(Signer& signer, Bytes* signature) const {
  DWORD size = 0;
  if (!CryptGetHashParam(signer.content_hash, HP_HASHVAL, nullptr, &size, 0)) return GetLastError();
  signer.digest.assign(size, '\0');
  if (!CryptGetHashParam(signer.content_hash, HP_HASHVAL, reinterpret_cast<BYTE*>(signer.digest.data()), &size, 0))
    return GetLastError();
  signer.digest.resize(size);
  HCRYPTHASH to_sign;
  if (!CryptCreateHash(signer.info.hCryptProv, signer.hash->alg, nullptr, 0, &to_sign)) return GetLastError();
  const Bytes attrs = SignedAttributes(signer);
  const bool ok = attrs.empty() ? CryptSetHashParam(to_sign, HP_HASHVAL, signer.digest, 0)
                                : CryptHashData(to_sign, reinterpret_cast<const BYTE*>(attrs.data()),
                                                static_cast<DWORD>(attrs.size()), 0);
  if (!ok) return GetLastError();
  DWORD sig_size = 0;
  if (!CryptSignHashA(to_sign, signer.info.dwKeySpec, nullptr, 0, nullptr, &sig_size)) return GetLastError();
  Bytes raw(sig_size, '\0');
  if (!CryptSignHashA(to_sign, signer.info.dwKeySpec, nullptr, 0, reinterpret_cast<BYTE*>(raw.data()), &sig_size))
    return GetLastError();
  raw.resize(sig_size);
  if (raw.size() != signer.signature_size) return NTE_BAD_SIGNATURE;
  // The provider gives the reverse of the standard encoding CMS carries.
  signature->assign(raw.rbegin(), raw.rend());
  return 0;
}

DWORD SignedEncoder::GetBytes(DWORD param, DWORD /*index*/, Bytes* value) {
  if (param != CMSG_CONTENT_PARAM) return CRYPT_E_INVALID_MSG_TYPE;
  if (streamed_) return CRYPT_E_MSG_ERROR;
  if (!finished_) return CRYPT_E_MSG_ERROR;
  *value = encoded_;
  return 0;
}

}  // namespace zuntar
