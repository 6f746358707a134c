#include "crypto/encoded_messages.h"

#include <functional>
#include <limits>
#include <utility>

#include "crypto/cert_identity.h"
#include "crypto/crypt_exceptions.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/msg/crypt_msg_simple.h"
#include "platform/capi/msg/signing_time.h"

namespace zuntar {
namespace {

constexpr DWORD kSignatureReserve = 8192;
constexpr DWORD kRecipientReserve = 256;
constexpr DWORD kEnvelopeReserve = 512;

// RoundUpBuffer of a sum that must stay below the buffer sizes the platform
// calls take.
DWORD RoundUpSum(uint64_t sum) {
  if (sum > std::numeric_limits<DWORD>::max() - 1024) throw CryptError(ERROR_NOT_ENOUGH_MEMORY);
  return RoundUpBuffer(static_cast<DWORD>(sum));
}

// The signing-time attribute of a local date-time: even seconds, UTC.
CRYPT_ATTRIBUTE SigningTimeAttribute(DateTime local) {
  uint64_t local_file_time = 0, utc_file_time = 0;
  if (!DosDateTimeToFileTime(DateTimeToFileDate(local), &local_file_time) ||
      !LocalFileTimeToFileTime(local_file_time, &utc_file_time))
    throw CryptError(ERROR_INVALID_PARAMETER);
  BYTE encoded[32];
  DWORD size = sizeof encoded;
  ThrowIfFalse(CryptEncodeObject(kMsgEncoding, szOID_RSA_signingTime, utc_file_time, encoded, &size));
  return CRYPT_ATTRIBUTE{szOID_RSA_signingTime, {Bytes(reinterpret_cast<const char*>(encoded), size)}};
}

}  // namespace

std::string SigningHashOid(const PCCERT_CONTEXT& cert) {
  const std::string& key = cert->Info().SubjectPublicKeyInfo.Algorithm.pszObjId;
  if (key == szOID_CP_GOST_R3410_12_256) return szOID_CP_GOST_R3411_12_256_R3410;
  if (key == szOID_CP_GOST_R3410_12_512) return szOID_CP_GOST_R3411_12_512_R3410;
  return szOID_CP_GOST_R3411_R3410EL;
}

DWORD SignatureBufferSize(DWORD length, bool detached) {
  return detached ? kSignatureReserve : RoundUpSum(uint64_t{length} + kSignatureReserve);
}

TEncodedSignedMessage::TEncodedSignedMessage(DWORD length, DateTime signing_time, bool detached,
                                             const PCCERT_CONTEXT& cert, const BYTE* data) {
  if (cert == nullptr) throw CryptError(E_INVALIDARG);
  CRYPT_SIGN_MESSAGE_PARA para;
  para.dwMsgEncodingType = kMsgEncoding;
  para.pSigningCert = cert;
  para.HashAlgorithm.pszObjId = SigningHashOid(cert);
  para.rgpMsgCert = {cert};
  if (signing_time != 0) para.rgAuthAttr.push_back(SigningTimeAttribute(signing_time));
  const BYTE* parts[] = {data};
  const DWORD sizes[] = {length};
  // Into a byte string of its own: an attached message is as large as the
  // data, and a caller's buffer would hold it twice.
  Bytes encoded;
  ThrowIfFalse(CryptSignMessage(para, detached, 1, parts, sizes, &encoded));
  SetContent(std::move(encoded));
}

void SignAttachedAround(const Bytes& data, DateTime signing_time, const PCCERT_CONTEXT& cert, Bytes& head, Bytes& tail,
                        const std::function<void(const Bytes& head)>& head_known) {
  if (cert == nullptr) throw CryptError(E_INVALIDARG);
  if (data.size() >= CMSG_INDEFINITE_LENGTH) throw CryptError(ERROR_NOT_ENOUGH_MEMORY);
  CMSG_SIGNER_ENCODE_INFO signer;
  ThrowIfFalse(SignerForCertificate(cert, SigningHashOid(cert), &signer));
  if (signing_time != 0) signer.rgAuthAttr.push_back(SigningTimeAttribute(signing_time));
  CMSG_SIGNED_ENCODE_INFO info;
  info.rgSigners = {signer};
  info.rgCertEncoded = {cert->Encoded()};
  // A message of declared length hands its content to the output as the
  // caller gave it: what comes out before the content is the head (all of
  // it at the first update, an empty one), what comes after it the tail.
  const auto* begin = reinterpret_cast<const BYTE*>(data.data());
  const auto* end = begin + data.size();
  Bytes before, after;
  bool head_done = false;
  CMSG_STREAM_INFO stream;
  stream.cbContent = static_cast<DWORD>(data.size());
  stream.pfnStreamOutput = [&](const BYTE* piece, DWORD size, bool) {
    if (std::greater_equal<const BYTE*>()(piece, begin) && std::less<const BYTE*>()(piece, end)) return true;
    (head_done ? after : before).append(reinterpret_cast<const char*>(piece), size);
    return true;
  };
  HCRYPTMSG msg = CryptMsgOpenToEncode(kMsgEncoding, 0, CMSG_SIGNED, info, nullptr, &stream);
  ThrowIfFalse(msg != nullptr && CryptMsgUpdate(msg, begin, 0, false));
  head_done = true;
  if (head_known) head_known(before);
  ThrowIfFalse(CryptMsgUpdate(msg, begin, static_cast<DWORD>(data.size()), true));
  head = std::move(before);
  tail = std::move(after);
}

void SignAttachedInPlace(Bytes& data, DateTime signing_time, const PCCERT_CONTEXT& cert) {
  Bytes head, tail;
  SignAttachedAround(data, signing_time, cert, head, tail);
  data.reserve(head.size() + data.size() + tail.size());
  data.insert(0, head);
  data += tail;
}

TEncodedEnvelopedMessage::TEncodedEnvelopedMessage(DWORD length, const std::vector<PCCERT_CONTEXT>& recipients,
                                                   const BYTE* data) {
  Assert(!recipients.empty() && recipients[0] != nullptr, "Bad recipient");
  Assert(data != nullptr, "bad dataptr");
  CRYPT_ENCRYPT_MESSAGE_PARA para;
  para.dwMsgEncodingType = kMsgEncoding;
  para.ContentEncryptionAlgorithm.pszObjId = szOID_CP_GOST_28147;
  const DWORD initial = RoundUpSum(uint64_t{kRecipientReserve} * recipients.size() + length + kEnvelopeReserve);
  SetContent(CallWithGrowth(initial, [&](BYTE* buffer, DWORD* size) {
    return CryptEncryptMessage(para, recipients, data, length, buffer, size);
  }));
}

}  // namespace zuntar
