#include "platform/capi/msg/agree_envelope.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include "platform/capi/asn1/ber_reader.h"
#include "platform/capi/asn1/der_writer.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/gost/gost28147.h"
#include "platform/capi/gost/gost_key_material.h"

namespace zuntar {
namespace {

constexpr char kParamSetA[] = "1.2.643.2.2.31.1";  // CryptoPro A: content and key wrap
constexpr char kCryptoProWrap[] = "1.2.643.2.2.13.1";
constexpr size_t kChunk = 16384;

Bytes Random(size_t n) {
  Bytes out(n, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(n)) != 1) out.clear();
  return out;
}

// The agreement algorithm that goes with the recipient's key.
const char* AgreementOid(GostKeyKind kind) {
  switch (kind) {
    case GostKeyKind::k2012_256:
      return "1.2.643.7.1.1.6.1";
    case GostKeyKind::k2012_512:
      return "1.2.643.7.1.1.6.2";
    default:
      return "1.2.643.2.2.19";
  }
}

// The first OID of the key's parameters: its curve.
std::string CurveOf(const CERT_PUBLIC_KEY_INFO& info) {
  ber::Reader r(info.Algorithm.Parameters);
  ber::Element seq, oid;
  if (!r.Expect(ber::kSequence, &seq)) return {};
  ber::Reader p(seq.content);
  return p.Expect(ber::kOid, &oid) ? ber::OidFromContent(oid.content) : std::string();
}

// KeyAgreeRecipientInfo ([1]) for one recipient: the ephemeral originator
// key, the UKM, the agreement and wrap algorithms, the wrapped content key.
DWORD RecipientInfo(const PCCERT_CONTEXT& cert, const Bytes& cek, Bytes* der) {
  const CERT_PUBLIC_KEY_INFO& spki = cert->Info().SubjectPublicKeyInfo;
  const ossl::PKeyPtr peer = PublicKeyFromInfo(spki);
  const GostKeyParams* params = peer != nullptr ? ParamsOfKey(peer.get()) : nullptr;
  if (params == nullptr) return NTE_BAD_PUBLIC_KEY;
  const ossl::PKeyPtr ephemeral = GenerateKey(*params, CurveOf(spki));
  CERT_PUBLIC_KEY_INFO originator;
  const Bytes ukm = Random(8);
  Bytes kek, encrypted, mac;
  if (ephemeral == nullptr || !PublicKeyInfoOf(ephemeral.get(), &originator) || ukm.size() != 8 ||
      !AgreeKey(ephemeral.get(), peer.get(), ukm, &kek) ||
      !gost28147::WrapCryptoPro(kek, kParamSetA, ukm, cek, &encrypted, &mac))
    return NTE_FAIL;
  OPENSSL_cleanse(kek.data(), kek.size());
  using ber::Wrap;
  const Bytes originator_key =
      Wrap(ber::kContext1, Wrap(ber::kSequence, ber::Oid(originator.Algorithm.pszObjId) + originator.Algorithm.Parameters) +
                               Wrap(ber::kBitString, Bytes(1, '\0') + originator.PublicKey.pbData));
  const Bytes wrap = Wrap(ber::kSequence, ber::Oid(kCryptoProWrap) + Wrap(ber::kSequence, ber::Oid(kParamSetA)));
  const Bytes algorithm = Wrap(ber::kSequence, ber::Oid(AgreementOid(params->kind)) + wrap);
  const Bytes rid = Wrap(ber::kSequence, cert->Info().Issuer + ber::IntegerFromBlob(cert->Info().SerialNumber));
  const Bytes encrypted_key =
      Wrap(ber::kOctetString, Wrap(ber::kSequence, Wrap(ber::kOctetString, encrypted) + Wrap(ber::kOctetString, mac)));
  *der = Wrap(ber::kContext1, Wrap(ber::kInteger, Bytes(1, '\3')) + Wrap(ber::kContext0, originator_key) +
                                  Wrap(ber::kContext1, Wrap(ber::kOctetString, ukm)) + algorithm +
                                  Wrap(ber::kSequence, Wrap(ber::kSequence, rid + encrypted_key)));
  return 0;
}

bool Put(const PFN_CMSG_STREAM_OUTPUT& write, const Bytes& bytes, bool final = false) {
  return write(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), final);
}

// The content key, wiped when the message is done.
struct ContentKey {
  Bytes bytes = Random(gost28147::kKeySize);
  ~ContentKey() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

}  // namespace

bool EncodeKeyAgreeEnvelope(const std::vector<PCCERT_CONTEXT>& recipients, uint64_t content_size,
                            const AgreeEnvelopeReader& read, const PFN_CMSG_STREAM_OUTPUT& write) {
  if (recipients.empty() || !read || !write) return Fail(E_INVALIDARG);
  ossl::EnsureGostEngine();
  const ContentKey content_key;
  const Bytes& cek = content_key.bytes;
  const Bytes iv = Random(gost28147::kBlockSize);
  if (cek.empty() || iv.empty()) return Fail(NTE_FAIL);
  std::vector<Bytes> infos;
  for (const PCCERT_CONTEXT& cert : recipients) {
    Bytes info;
    if (cert == nullptr) return Fail(E_INVALIDARG);
    if (DWORD rc = RecipientInfo(cert, cek, &info)) return Fail(rc);
    infos.push_back(std::move(info));
  }
  // Lengths are definite: the content's size is known and CFB keeps it.
  using ber::Wrap;
  const Bytes content_alg = Wrap(ber::kSequence, ber::Oid(szOID_CP_GOST_28147) +
                                                     Wrap(ber::kSequence, Wrap(ber::kOctetString, iv) + ber::Oid(kParamSetA)));
  const Bytes content_start = ber::Oid(szOID_RSA_data) + content_alg + ber::ElementHeader(ber::kImplicit0, content_size);
  const Bytes encrypted_info_header = ber::ElementHeader(ber::kSequence, content_start.size() + content_size);
  const Bytes head = Wrap(ber::kInteger, Bytes(1, '\2')) + ber::SetOf(infos);
  const uint64_t enveloped_size = head.size() + encrypted_info_header.size() + content_start.size() + content_size;
  const Bytes enveloped_header = ber::ElementHeader(ber::kSequence, enveloped_size);
  const Bytes explicit_header = ber::ElementHeader(ber::kContext0, enveloped_header.size() + enveloped_size);
  const Bytes type = ber::Oid(szOID_RSA_envelopedData);
  const uint64_t outer_size = type.size() + explicit_header.size() + enveloped_header.size() + enveloped_size;
  if (!Put(write, ber::ElementHeader(ber::kSequence, outer_size) + type + explicit_header + enveloped_header + head +
                      encrypted_info_header + content_start))
    return Fail(CRYPT_E_MSG_ERROR);

  const EVP_CIPHER* cipher = ossl::CipherByName("gost89");
  ossl::CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (cipher == nullptr || ctx == nullptr || EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_SET_SBOX, 0, const_cast<char*>(kParamSetA)) <= 0 ||
      EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, ossl::Data(cek), ossl::Data(iv)) != 1) {
    ossl::ClearErrors();
    return Fail(NTE_BAD_ALGID);
  }
  Bytes in(kChunk, '\0'), out(kChunk, '\0');
  uint64_t done = 0;
  while (done < content_size) {
    const size_t n = read(reinterpret_cast<BYTE*>(in.data()), kChunk);
    int len = 0;
    if (n == 0 || n > content_size - done ||
        EVP_EncryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &len, ossl::Data(in),
                          static_cast<int>(n)) != 1 ||
        static_cast<size_t>(len) != n)
      return Fail(ERROR_INVALID_DATA);  // the input ended early or grew
    if (!Put(write, out.substr(0, n))) return Fail(CRYPT_E_MSG_ERROR);
    done += n;
  }
  return Put(write, {}, true) || Fail(CRYPT_E_MSG_ERROR);
}

}  // namespace zuntar
